// Per-user settings: 32-bit values in the registry store, key
// "SOFTWARE\Halvard (JSC)\VSKManager\<section>". No cache: every read goes to the store.
#pragma once

#include <cstdint>

namespace vsk {

constexpr const char* kSettingsRoot = "SOFTWARE\\Halvard (JSC)\\VSKManager\\";
constexpr const char* kCurrentConfig = "CurrentConfig";
constexpr const char* kSaveToLog = "SaveToLog";                    // default 0
constexpr const char* kKeepLogFiles = "KeepLogFiles";              // default 3, 1..4096
constexpr const char* kShowSystemTrayIcon = "ShowSystemTrayIcon";  // default 1
constexpr const char* kBaudRate = "BaudRate";                      // default 115200

// Reading creates the section key. A value missing, or stored as something other than a DWORD,
// reads as the default.
uint32_t GetConfigInt(const char* section, const char* name, uint32_t defaultValue);
bool WriteConfigInt(const char* section, const char* name, uint32_t value);

// The journal's days to keep with its clamping applied (below 1 or above 4096 -> 3).
int32_t KeepLogFilesSetting();
bool SaveToLogSetting();
uint32_t BaudRateSetting();

}  // namespace vsk
