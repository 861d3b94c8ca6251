#include "link/settings.h"

#include <cstdlib>
#include <string>
#include <variant>

#include "platform/registry.h"
#include "platform/text.h"

namespace vsk {
namespace {

constexpr SettingSpec kSettings[] = {
#define VSK_SETTING(name, kind, def, least, most, section, help) \
    {Setting::name, #name, SettingKind::kind, def, least, most, section, help},
#include "link/settings.def"
#undef VSK_SETTING
};

std::string SectionKey(const char* section) {
    return std::string(kSettingsRoot) + section;
}

// Decimal digits only, no sign, fitting 32 bits.
std::optional<uint32_t> ParseDword(std::string_view text) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    const unsigned long long n = std::strtoull(std::string(text).c_str(), nullptr, 10);
    if (n > UINT32_MAX)
        return std::nullopt;
    return uint32_t(n);
}

std::optional<RegValue> Stored(const SettingSpec& spec) {
    RegistryStore store;
    const std::string key = SectionKey(spec.section);
    if (!store.CreateKey(Hive::CurrentUser, key))
        return std::nullopt;
    return store.GetValue(Hive::CurrentUser, key, spec.name);
}

}  // namespace

std::span<const SettingSpec> AllSettings() {
    return kSettings;
}

const SettingSpec& SpecOf(Setting setting) {
    return kSettings[size_t(setting)];
}

const SettingSpec* FindSetting(std::string_view name) {
    for (const SettingSpec& spec : kSettings)
        if (LowerAscii(name) == LowerAscii(spec.name))
            return &spec;
    return nullptr;
}

std::string KindText(const SettingSpec& spec) {
    auto range = [&](const char* what) {
        std::string text = what;
        if (spec.least != 0 || spec.most != UINT32_MAX)
            text += " " + std::to_string(spec.least) + ".." + std::to_string(spec.most);
        return text;
    };
    switch (spec.kind) {
        case SettingKind::Number:
            return range("number");
        case SettingKind::Seconds:
            return range("seconds");
        case SettingKind::Address:
            return "HOST:PORT";
        case SettingKind::File:
            return "file";
        case SettingKind::List:
            return "list";
    }
    return {};
}

std::string CheckSettingValue(const SettingSpec& spec, std::string_view text) {
    if (text.empty())
        return {};  // removes the value
    switch (spec.kind) {
        case SettingKind::Number:
        case SettingKind::Seconds: {
            auto n = ParseDword(text);
            if (!n || *n < spec.least || *n > spec.most)
                return std::string(spec.name) + ": " + KindText(spec) + " expected, not " +
                       std::string(text);
            return {};
        }
        case SettingKind::Address: {
            // The resolver judges the host; the port must at least be one.
            const size_t colon = text.rfind(':');
            const std::string_view host =
                colon == text.npos ? std::string_view() : text.substr(0, colon);
            const auto port =
                colon == text.npos ? std::nullopt : ParseDword(text.substr(colon + 1));
            if (host.empty() || !port || *port > 65535)
                return std::string(spec.name) + ": HOST:PORT (a port 0..65535) expected, not " +
                       std::string(text);
            return {};
        }
        case SettingKind::File:
        case SettingKind::List:
            return {};
    }
    return {};
}

uint32_t GetConfigInt(const char* section, const char* name, uint32_t defaultValue) {
    // A fresh store per call: no cache, so a value written by the options page is seen at once.
    RegistryStore store;
    const std::string key = SectionKey(section);
    if (!store.CreateKey(Hive::CurrentUser, key)) {
        return defaultValue;
    }
    const std::optional<RegValue> value = store.GetValue(Hive::CurrentUser, key, name);
    if (!value) {
        return defaultValue;
    }
    // Only DWORDs are ever written here; a string put in by hand is not a number we can trust.
    if (const uint32_t* dword = std::get_if<uint32_t>(&*value)) {
        return *dword;
    }
    return defaultValue;
}

bool WriteConfigInt(const char* section, const char* name, uint32_t value) {
    RegistryStore store;
    const std::string key = SectionKey(section);
    if (!store.CreateKey(Hive::CurrentUser, key)) {
        return false;
    }
    return store.SetValue(Hive::CurrentUser, key, name, RegValue(value));
}

uint32_t NumberSetting(Setting setting) {
    const SettingSpec& spec = SpecOf(setting);
    return GetConfigInt(spec.section, spec.name, ParseDword(spec.defaultText).value_or(0));
}

std::optional<std::string> StoredSetting(Setting setting) {
    const SettingSpec& spec = SpecOf(setting);
    const std::optional<RegValue> value = Stored(spec);
    if (!value)
        return std::nullopt;
    if (const uint32_t* dword = std::get_if<uint32_t>(&*value))
        return spec.StoredAsDword() ? std::optional(std::to_string(*dword)) : std::nullopt;
    const std::string& text = std::get<std::string>(*value);
    return spec.StoredAsDword() ? std::nullopt : std::optional(text);
}

std::string TextSetting(Setting setting) {
    const auto stored = StoredSetting(setting);
    return stored && !stored->empty() ? *stored : SpecOf(setting).defaultText;
}

bool WriteSetting(Setting setting, std::string_view text) {
    const SettingSpec& spec = SpecOf(setting);
    RegistryStore store;
    const std::string key = SectionKey(spec.section);
    if (!store.CreateKey(Hive::CurrentUser, key))
        return false;
    if (text.empty())
        return !store.GetValue(Hive::CurrentUser, key, spec.name) ||
               store.DeleteValue(Hive::CurrentUser, key, spec.name);
    if (spec.StoredAsDword()) {
        const auto n = ParseDword(text);
        return n && store.SetValue(Hive::CurrentUser, key, spec.name, RegValue(*n));
    }
    return store.SetValue(Hive::CurrentUser, key, spec.name, RegValue(std::string(text)));
}

int32_t KeepLogFilesSetting() {
    const SettingSpec& spec = SpecOf(Setting::KeepLogFiles);
    const auto kDefault = static_cast<int32_t>(*ParseDword(spec.defaultText));
    const auto days = static_cast<int32_t>(NumberSetting(Setting::KeepLogFiles));
    return days < int32_t(spec.least) || days > int32_t(spec.most) ? kDefault : days;
}

bool SaveToLogSetting() {
    return NumberSetting(Setting::SaveToLog) != 0;
}

uint32_t BaudRateSetting() {
    return NumberSetting(Setting::BaudRate);
}

}  // namespace vsk
