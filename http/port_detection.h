// What the HTTP front asks of the server to find the registers on the serial devices present,
// typed: one record per device. The server probes the devices that no program holds (busy ones
// are never touched); the front only turns the records into JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vsk {

struct DetectedDevice {
    enum class Result {
        Found,        // a register answered; the identity below is what it told
        Busy,         // another program (or this server's own port) holds the device
        NoAnswer,     // nothing came back at any speed
        NotRegister,  // bytes came back, but no word of the register's protocol
        CannotOpen,   // missing, not a serial line, or no permission (detail says which)
    };
    std::string device;  // as the user names it: "/dev/ttyUSB0"
    Result result = Result::NoAnswer;
    std::string detail;  // UTF-8: the reason of a failed open, or the word the register refused
                         // its identity with; may be empty
    uint32_t baud = 0;   // Found: the speed the register answered at
    // Found: UTF-8, blanks trimmed; empty when the register did not tell them.
    std::string model, serial, fiscalNumber, firmware;
    std::optional<int> port;  // the lowest COMn that opens the device, if one does
    std::string stableName;   // /dev/vsk/... or /dev/serial/by-id/... of the device; "" if none
};

// "found", "busy", "no answer", "not a register", "cannot open".
const char* ResultWord(DetectedDevice::Result result);

class IPortDetector {
public:
    virtual ~IPortDetector() = default;
    // Probes every serial device present; bounded in time. nullopt when another detection
    // runs and does not end within that bound.
    virtual std::optional<std::vector<DetectedDevice>> Detect() = 0;
};

}  // namespace vsk
