// Finding the registers on the serial devices: `vskmanager --detect [--map]` and the HTTP API's
// GET /v1/ports/detect. Each device is probed on a thread of its own (a few at a time), so the
// whole run takes about a second per batch of devices, whatever each one does.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/port_detection.h"
#include "platform/registry.h"
#include "server/register_probe.h"

namespace vsk {

// Probes the devices named (as the user names them, or as COMn; none: every serial device
// present) under
// the system root `root` (see SystemRoot), with the COMn of `mappings` that open each one.
// The records come in the order of the names, or of the listing.
std::vector<DetectedDevice> DetectRegisters(const std::vector<std::string>& names,
                                            const std::map<int, std::string>& mappings,
                                            const std::string& root,
                                            const ProbeTimings& timings = {});

// The registers found that no COMn opens yet, each at the lowest COMn that is neither mapped
// nor a built-in port present, under its stable name: COMn -> device name.
std::map<int, std::string> PlanMappings(const std::vector<DetectedDevice>& devices,
                                        const std::map<int, std::string>& mappings,
                                        const std::string& root);

// The text of --detect: a line per device.
std::string DescribeDetection(const std::vector<DetectedDevice>& devices);

// --detect [DEVICE...] [--map]: probes, prints, and with `map` writes the planned mappings to
// `reg`. Exit status 0 when a register was found, 1 otherwise (or when a mapping failed).
int RunDetection(const std::vector<std::string>& names, bool map, RegistryStore& reg);

// The server's detector for the HTTP API: one detection at a time, on every device present,
// with the port mappings of the per-user registry as they are now.
class CPortDetector : public IPortDetector {
public:
    std::optional<std::vector<DetectedDevice>> Detect() override;

private:
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_running = false;  // under m_mutex
};

}  // namespace vsk
