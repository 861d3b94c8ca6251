// Whether a register answers on one serial device, and who it is: the probe of the detection.
// The device is opened with the port's own exclusive open; one that another program holds is
// never touched (nothing written, its settings left as they are). A free one gets the wake byte
// at 115200 and then 57600 baud, and, where the register woke, the configuration query, which
// neither prints nor changes anything. Every wait is bounded: a probe takes about a second at
// most (1.25 s for a device that never stops talking).
// Threading rule: a probe owns its device for its duration; probes of different devices may
// run side by side.
#pragma once

#include <cstdint>
#include <string>

#include "engine/printer_info.h"
#include "http/port_detection.h"

namespace vsk {

struct ProbeTimings {
    int wakeWaitMs = 150;  // for READY after each wake byte
    int wakeAttempts = 2;  // wake bytes at each speed
    // For the configuration reply, each message restarting it, twice as long at most.
    int identityWaitMs = 300;
};

struct ProbeResult {
    DetectedDevice::Result result = DetectedDevice::Result::NoAnswer;
    std::string detail;  // UTF-8
    uint32_t baud = 0;
    bool identified = false;  // the configuration reply came: info and variant are the register's
    CPrinterInfo info;
    ProtocolVariant variant;
};

// `path` is opened as it stands (a device path, not a COMn).
ProbeResult ProbeRegister(const std::string& path, const ProbeTimings& timings = {});

}  // namespace vsk
