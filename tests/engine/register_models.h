// Connecting the engine to a scripted register of a chosen kind, for suites whose commands
// differ between register families and levels.
#pragma once

#include <string>

#include "tests/engine/engine_fixture.h"

namespace vsktest {

enum class Model { Family0, Level4, Level7, Level8, Level9 };

inline const char* ModelName(Model model) {
    static const char* const names[] = {"family 0", "level 4", "level 7", "level 8", "level 9"};
    return names[static_cast<int>(model)];
}

class ModelTest : public EngineTest {
public:
    // A fresh engine, connected to a register of `model`, with the register's log cleared.
    void ConnectAs(Model model) {
        m_core.reset();
        m_conf = ConfFields{};
        switch (model) {
            case Model::Family0:
                m_conf.serial = "4401234567";
                break;
            case Model::Level4:
                break;
            case Model::Level7:
                m_conf.firmware = "XKDA";
                m_conf.firmwareDate = "20041206";
                break;
            case Model::Level8:
                m_conf.firmware = "ZULB";
                m_conf.firmwareDate = "20080101";
                break;
            case Model::Level9:
                m_conf.firmware = "ZULB";
                m_conf.firmwareDate = "20090217";
                break;
        }
        m_core = std::make_unique<CVSKCore>(7, &m_clock, &m_ui, m_dir + "/journal");
        Connect();
    }

    // The one frame an operation sent, or "" when it sent nothing (several frames: all of them,
    // joined by '|').
    std::string SentFrames() const {
        std::string joined;
        for (const std::string& frame : m_register.Frames()) {
            joined += joined.empty() ? frame : "|" + frame;
        }
        return joined;
    }
};

}  // namespace vsktest
