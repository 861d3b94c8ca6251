#include "link/settings.h"

#include <string>
#include <variant>

#include "platform/registry.h"

namespace vsk {
namespace {

std::string SectionKey(const char* section) {
    return std::string(kSettingsRoot) + section;
}

}  // namespace

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

int32_t KeepLogFilesSetting() {
    constexpr int32_t kDefault = 3;
    const auto days = static_cast<int32_t>(GetConfigInt(kCurrentConfig, kKeepLogFiles, kDefault));
    return days < 1 || days > 4096 ? kDefault : days;
}

bool SaveToLogSetting() {
    return GetConfigInt(kCurrentConfig, kSaveToLog, 0) != 0;
}

uint32_t BaudRateSetting() {
    return GetConfigInt(kCurrentConfig, kBaudRate, 115200);
}

}  // namespace vsk
