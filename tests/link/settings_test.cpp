#include "link/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/registry.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSectionKey = "SOFTWARE\\Halvard (JSC)\\VSKManager\\CurrentConfig";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vsk-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        setenv("VSK_REGISTRY_DIR", m_dir.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string m_dir;
};

TEST_F(SettingsTest, EmptyStoreGivesDefaultsAndCreatesTheSectionKey) {
    vsk::RegistryStore store(m_dir);
    EXPECT_FALSE(store.KeyExists(vsk::Hive::CurrentUser, kSectionKey));

    EXPECT_FALSE(vsk::SaveToLogSetting());
    EXPECT_EQ(vsk::KeepLogFilesSetting(), 3);
    EXPECT_EQ(vsk::GetConfigInt(vsk::kCurrentConfig, vsk::kShowSystemTrayIcon, 1), 1u);
    EXPECT_EQ(vsk::BaudRateSetting(), 115200u);

    EXPECT_TRUE(store.KeyExists(vsk::Hive::CurrentUser, kSectionKey));
    EXPECT_TRUE(store.ValueNames(vsk::Hive::CurrentUser, kSectionKey).empty());
}

TEST_F(SettingsTest, WrittenValuesAreStoredAsDwordsAndReadBackAtOnce) {
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 1));
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kBaudRate, 57600));
    EXPECT_TRUE(vsk::SaveToLogSetting());
    EXPECT_EQ(vsk::BaudRateSetting(), 57600u);

    // No cache: a second write is seen by the next read.
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 0));
    EXPECT_FALSE(vsk::SaveToLogSetting());

    vsk::RegistryStore store(m_dir);
    auto value = store.GetValue(vsk::Hive::CurrentUser, kSectionKey, vsk::kBaudRate);
    ASSERT_TRUE(value.has_value());
    ASSERT_TRUE(std::holds_alternative<uint32_t>(*value));
    EXPECT_EQ(std::get<uint32_t>(*value), 57600u);
}

TEST_F(SettingsTest, KeepLogFilesOutsideOneTo4096CountsAsThree) {
    const struct {
        uint32_t stored;
        int32_t used;
    } rows[] = {
        {0, 3},    {1, 1},    {2, 2},           {4096, 4096},
        {4097, 3}, {5000, 3}, {0xFFFFFFFFu, 3}, {0x80000000u, 3},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kKeepLogFiles, row.stored));
        EXPECT_EQ(vsk::KeepLogFilesSetting(), row.used) << "stored " << row.stored;
    }
}

TEST_F(SettingsTest, ValueOfAnotherTypeReadsAsTheDefault) {
    vsk::RegistryStore store(m_dir);
    ASSERT_TRUE(store.CreateKey(vsk::Hive::CurrentUser, kSectionKey));
    ASSERT_TRUE(store.SetValue(vsk::Hive::CurrentUser, kSectionKey, vsk::kKeepLogFiles,
                               vsk::RegValue(std::string("7"))));
    ASSERT_TRUE(store.SetValue(vsk::Hive::CurrentUser, kSectionKey, vsk::kBaudRate,
                               vsk::RegValue(std::string("9600"))));
    EXPECT_EQ(vsk::KeepLogFilesSetting(), 3);
    EXPECT_EQ(vsk::BaudRateSetting(), 115200u);
}

TEST_F(SettingsTest, CorruptHiveFileGivesDefaultsAndIsKeptAside) {
    vsk::RegistryStore store(m_dir);
    fs::create_directories(m_dir);
    const std::string hive = store.HiveFile(vsk::Hive::CurrentUser);
    std::ofstream(hive, std::ios::binary) << "\x01\x02 not a hive {{{\n\xff\xfe";

    EXPECT_EQ(vsk::KeepLogFilesSetting(), 3);
    EXPECT_FALSE(vsk::SaveToLogSetting());
    ASSERT_TRUE(vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 1));
    EXPECT_TRUE(vsk::SaveToLogSetting());

    bool keptAside = false;
    for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path())) {
        keptAside |= entry.path().filename().string().find(".corrupt-") != std::string::npos;
    }
    EXPECT_TRUE(keptAside);
}

}  // namespace

// Every row of the table reads its default from an empty store, is stored in its own kind, and
// an empty value removes it again.
TEST_F(SettingsTest, EveryRowReadsItsDefaultAndStoresItsKind) {
    vsk::RegistryStore store(m_dir);
    for (const vsk::SettingSpec& spec : vsk::AllSettings()) {
        EXPECT_EQ(vsk::TextSetting(spec.id), spec.defaultText) << spec.name;
        EXPECT_EQ(vsk::FindSetting(vsk::LowerAscii(spec.name)), &spec) << spec.name;
        const std::string value = spec.StoredAsDword() ? std::to_string(spec.most)
                                  : spec.kind == vsk::SettingKind::Seconds ? "60"
                                                                           : "127.0.0.1:1";
        ASSERT_EQ(vsk::CheckSettingValue(spec, value), "") << spec.name;
        ASSERT_TRUE(vsk::WriteSetting(spec.id, value)) << spec.name;
        auto stored = store.GetValue(vsk::Hive::CurrentUser, kSectionKey, spec.name);
        ASSERT_TRUE(stored.has_value()) << spec.name;
        EXPECT_EQ(std::holds_alternative<uint32_t>(*stored), spec.StoredAsDword()) << spec.name;
        EXPECT_EQ(vsk::TextSetting(spec.id), value) << spec.name;
        ASSERT_TRUE(vsk::WriteSetting(spec.id, "")) << spec.name;
        EXPECT_FALSE(store.GetValue(vsk::Hive::CurrentUser, kSectionKey, spec.name)) << spec.name;
    }
    EXPECT_EQ(vsk::FindSetting("SaveToLogs"), nullptr);
    // The readers the engine and the window use take their defaults from the same rows.
    EXPECT_EQ(vsk::NumberSetting(vsk::Setting::ShowSystemTrayIcon), 1u);
    EXPECT_EQ(vsk::KeepLogFilesSetting(), 3);
}

TEST_F(SettingsTest, ValuesOutsideTheirKindAreRefused) {
    using vsk::Setting;
    const std::pair<Setting, const char*> refused[] = {
        {Setting::BaudRate, "-5"},           {Setting::BaudRate, "0"},
        {Setting::BaudRate, "4294967296"},   {Setting::BaudRate, "9600 "},
        {Setting::KeepLogFiles, "4097"},     {Setting::KeepLogFiles, "0"},
        {Setting::HttpSessionIdle, "86401"}, {Setting::HttpSessionIdle, "5m"},
        {Setting::HttpListen, "8080"},       {Setting::HttpListen, ":8080"},
        {Setting::TcpListen, "host:65536"},  {Setting::TcpListen, "host:port"},
    };
    for (const auto& [setting, text] : refused)
        EXPECT_NE(vsk::CheckSettingValue(vsk::SpecOf(setting), text), "")
            << vsk::SpecOf(setting).name << " " << text;
    const std::pair<Setting, const char*> taken[] = {
        {Setting::KeepLogFiles, "4096"},
        {Setting::SaveToLog, "1"},
        {Setting::TcpListen, "[::1]:45711"},
        {Setting::HttpOrigins, "https://a, https://b"},
    };
    for (const auto& [setting, text] : taken)
        EXPECT_EQ(vsk::CheckSettingValue(vsk::SpecOf(setting), text), "")
            << vsk::SpecOf(setting).name << " " << text;
}
