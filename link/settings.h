// Per-user settings in the registry store, key "SOFTWARE\Halvard (JSC)\VSKManager\<section>".
// No cache: every read goes to the store. Which settings there are, their kinds and defaults,
// is the table in settings.def; `vskmanager --config` and the man page are made from it too.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vsk {

constexpr const char* kSettingsRoot = "SOFTWARE\\Halvard (JSC)\\VSKManager\\";
constexpr const char* kCurrentConfig = "CurrentConfig";
constexpr const char* kSaveToLog = "SaveToLog";
constexpr const char* kKeepLogFiles = "KeepLogFiles";
constexpr const char* kShowSystemTrayIcon = "ShowSystemTrayIcon";
constexpr const char* kBaudRate = "BaudRate";

enum class SettingKind { Number, Address, File, List, Seconds };

enum class Setting {
#define VSK_SETTING(name, kind, def, least, most, section, help) name,
#include "link/settings.def"
#undef VSK_SETTING
};

struct SettingSpec {
    Setting id;
    const char* name;
    SettingKind kind;
    const char* defaultText;
    uint32_t least, most;  // Number and Seconds
    const char* section;
    const char* help;

    bool StoredAsDword() const { return kind == SettingKind::Number; }
};

std::span<const SettingSpec> AllSettings();
const SettingSpec& SpecOf(Setting setting);
// The row of `name`, letter case ignored; null when there is none.
const SettingSpec* FindSetting(std::string_view name);
// How --config and the man page call a kind: "number 1..4096", "HOST:PORT", ...
std::string KindText(const SettingSpec& spec);
// What is wrong with `text` as a value of the setting; "" when it may be stored.
std::string CheckSettingValue(const SettingSpec& spec, std::string_view text);

// Reading creates the section key. A value missing, or stored as something other than a DWORD,
// reads as the default.
uint32_t GetConfigInt(const char* section, const char* name, uint32_t defaultValue);
bool WriteConfigInt(const char* section, const char* name, uint32_t value);

// A Number setting, or its default (also for a value stored as a string).
uint32_t NumberSetting(Setting setting);
// A string setting, or its default when unset or empty; for a Number, its decimal digits.
std::string TextSetting(Setting setting);
// The stored value as text, when there is one of the setting's kind.
std::optional<std::string> StoredSetting(Setting setting);
// Stores `text` (checked by the caller with CheckSettingValue) in the setting's kind; an empty
// text removes the value, so that the default applies again.
bool WriteSetting(Setting setting, std::string_view text);

// The journal's days to keep with its clamping applied (below 1 or above 4096 -> 3).
int32_t KeepLogFilesSetting();
bool SaveToLogSetting();
uint32_t BaudRateSetting();

}  // namespace vsk
