// The engine under test, wired to a scripted register on a pseudo-terminal, a scaled clock and
// an operator UI that records what it was asked. Every test gets its own registry, journal
// folder and port mapping.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/vsk_core.h"
#include "link/settings.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/registry.h"
#include "resources/strings.h"
#include "tests/engine/scripted_register.h"

namespace vsktest {

struct StatusEntry {
    std::string title, goods, amount;
};

class RecordingStatusWindow : public vsk::IStatusWindow {
public:
    static constexpr const char* kClosed = "<closed>";
    explicit RecordingStatusWindow(std::vector<StatusEntry>& log) : m_log(log) {}
    ~RecordingStatusWindow() override { m_log.push_back({kClosed, {}, {}}); }
    bool ShowTexts(std::string_view title, std::string_view goods,
                   std::string_view amount) override {
        m_log.push_back({std::string(title), std::string(goods), std::string(amount)});
        return true;
    }
    bool ShowMessage(unsigned id) override { return ShowTexts(vsk::LoadString1251(id), {}, {}); }

private:
    std::vector<StatusEntry>& m_log;
};

class RecordingUi : public vsk::IOperatorUi {
public:
    struct Box {
        std::string text;
        vsk::MsgIcon icon;
        vsk::MsgButtons buttons;
    };
    vsk::MsgResult MessageBox(std::string_view text, vsk::MsgIcon icon,
                              vsk::MsgButtons buttons) override {
        boxes.push_back({std::string(text), icon, buttons});
        return buttons == vsk::MsgButtons::Ok ? vsk::MsgResult::Ok : vsk::MsgResult::Cancel;
    }
    std::unique_ptr<vsk::IStatusWindow> CreateStatusWindow() override {
        return std::make_unique<RecordingStatusWindow>(status);
    }
    bool RunConnectionDialog(std::string&, std::string&, std::string&, int32_t) override {
        ++dialogs;
        return false;
    }
    void ShowPrinterInfo(const CPrinterInfo&) override { ++infoWindows; }

    std::vector<Box> boxes;
    std::vector<StatusEntry> status;
    int dialogs = 0;
    int infoWindows = 0;
};

inline std::string Text(unsigned id) {
    return vsk::LoadString1251(id);
}

// Members are public: table-driven tests reach them from lambdas.
class EngineTest : public ::testing::Test {
public:
    static constexpr const char* kPassword = "S3cretPass";  // exactly 10 characters

    explicit EngineTest(double clockFactor = 0.05) : m_clock(clockFactor) {}

    void SetUp() override {
        char pattern[] = "/tmp/vsk-engine-XXXXXX";
        m_dir = mkdtemp(pattern);
        setenv("VSK_REGISTRY_DIR", (m_dir + "/registry").c_str(), 1);
        setenv("ProgramData", (m_dir + "/programdata").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_dir + "/state").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        vsk::RegistryStore().SetValue(vsk::Hive::CurrentUser,
                                      "SOFTWARE\\Halvard (JSC)\\VSKManager\\Ports", "COM7",
                                      m_register.SlavePath());
        vsk::WriteConfigInt(vsk::kCurrentConfig, vsk::kSaveToLog, 1);
        HealthyRegister();
        m_core = std::make_unique<CVSKCore>(7, &m_clock, &m_ui, m_dir + "/journal");
    }

    void TearDown() override {
        m_core.reset();
        std::filesystem::remove_all(m_dir);
    }

    // A register that answers every command of a session with READY and its data replies.
    void HealthyRegister() {
        m_register.On("", {{"READY"}});
        ApplyIdentity();
        m_register.On("GLCN", {{"GLCN" + std::string(30, '0') + "0"}});
        m_register.On("dset", {{"dset10"}});
        for (const char* word : {"FISC", "BFIS", "FICD", "BFCD"}) {
            m_register.On(word, {{"FISC0000000000"}, {"READY"}});
        }
        m_register.On("COMP", {{"COMP" + std::string(90, '0')}, {"READY"}});
    }

    // The register answers with the identity and taxes the test has set by now.
    void ApplyIdentity() {
        m_register.On("CONF", {{ConfReply(m_conf)}});
        m_register.On("CONf", {{ConfReply(m_conf, "CONf")}});
        m_register.On("CNAL", {{CnalReply(m_taxes)}});
    }

    int16_t InitEngine(const std::string& port = "COM7", const std::string& ident = "Cashier",
                       const std::string& password = kPassword) {
        ApplyIdentity();
        return m_core->Init(port, ident, password);
    }

    void Connect() {
        ASSERT_EQ(InitEngine(), 1);
        m_register.ClearLog();
        m_ui.boxes.clear();
    }

    void OpenReceipt() {
        ASSERT_EQ(m_core->OpenCheck("1"), 1);
        m_register.ClearLog();
    }

    std::string JournalText() {
        std::string text;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir + "/journal")) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream all;
            all << in.rdbuf();
            text += all.str();
        }
        return text;
    }

    std::string m_dir;
    vsk::ScaledClock m_clock;
    RecordingUi m_ui;
    ScriptedRegister m_register;
    ConfFields m_conf;  // family 1, level 4 unless a test changes it before connecting
    std::vector<TaxFields> m_taxes = {{'1', "2000"}, {'0', "2000"}, {'2', "1000"}};
    std::unique_ptr<CVSKCore> m_core;
};

}  // namespace vsktest
