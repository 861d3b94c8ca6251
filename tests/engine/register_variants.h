// Register identities for the protocol variants that the operations tell apart.
#pragma once

#include "tests/engine/scripted_register.h"

namespace vsktest {

struct Variant {
    int family, level;
};

// Identity fields the model table reads as `variant`; a default ConfFields is family 1 level 4.
inline ConfFields IdentityOf(Variant variant) {
    ConfFields conf;
    if (variant.family == 0) {
        conf.serial = "4401234567";  // family 0, level 1
        return conf;
    }
    switch (variant.level) {
        case 2:
            conf.serial = "4501234567";
            conf.firmware = "gHHq";
            break;
        case 7:
            conf.firmware = "XKDA";
            conf.firmwareDate = "20041206";
            break;
        case 8:
            conf.firmware = "KBLX";
            conf.firmwareDate = "20070609";
            break;
        case 9:
            conf.firmware = "ZULB";
            conf.firmwareDate = "20090217";
            break;
        default:
            break;
    }
    return conf;
}

}  // namespace vsktest
