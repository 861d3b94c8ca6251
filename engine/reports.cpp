// Reports and the register mode switch that brackets them on some registers.
#include "engine/vsk_core.h"

int16_t CVSKCore::ActivatePrinterMode(int32_t mode) {
    m_journal.LogFormat("ActivatePrinterMode(Mode = %d)", mode);
    if (!IsLevel(1, 7, 7)) {
        return 1;  // only these registers have modes to switch
    }
    std::string command;
    switch (mode) {
        case 0:
            command = "SVSL0";
            break;
        case 2:
            command = "SVSL2" + m_szReportModePassword.substr(0, 4);
            break;
        case 3:
            command = "SVSL3" + m_szProgrammingModePassword.substr(0, 4);
            break;
        default:
            command = "SVSL1" + m_szRegistrationModePassword.substr(0, 4);
            break;
    }
    SendToPrinter(command);
    return WaitForReadyMsg(3000);
}
