// Device settings commands.
#include "engine/vsk_core.h"

int16_t CVSKCore::SetTableMode(int16_t tableMode) {
    m_journal.LogFormat("SetTableMode(TableMode = %d)", tableMode);
    if (IsLevel(1, 3, 9)) {
        tableMode = 0;  // these registers have no table mode to switch on
    }
    SendToPrinter(tableMode > 0 ? "TABL1" : "TABL");
    return WaitForReadyMsg(3000);
}
