#include "server/register_detection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/codepage.h"
#include "platform/text.h"
#include "server/registration.h"
#include "server/serial_devices.h"

namespace vsk {

namespace {

namespace fs = std::filesystem;

// Probes at once; more only share the same two cores and the same wait.
constexpr size_t kParallelProbes = 8;
// The longest a detection of the HTTP API waits for another one to end.
constexpr auto kDetectionWait = std::chrono::seconds(10);

fs::path Canonical(const fs::path& path) {
    std::error_code ec;
    fs::path c = fs::canonical(path, ec);
    return ec ? path.lexically_normal() : c;
}

// "COMn" as a port opens it: its mapping, else /dev/ttyS{n-1}; any other name as it stands.
std::string DeviceOf(const std::string& name, const std::map<int, std::string>& mappings) {
    if (name.size() < 4 || name.size() > 6 || LowerAscii(name.substr(0, 3)) != "com" ||
        !std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return name;
    const int port = std::atoi(name.c_str() + 3);
    if (port < 1)
        return name;
    auto mapped = mappings.find(port);
    return mapped != mappings.end() ? mapped->second : "/dev/ttyS" + std::to_string(port - 1);
}

// A device named on the command line, with the stable names of the device present it is.
SerialDevice Named(const std::string& name, const std::vector<SerialDevice>& present,
                   const std::string& root) {
    const fs::path self = Canonical(root + name);
    for (const SerialDevice& d : present) {
        if (Canonical(root + d.path) == self) {
            SerialDevice same = d;
            same.path = name;
            return same;
        }
    }
    SerialDevice d;
    d.path = name;
    return d;
}

std::string Shown(const std::string& text) {
    return Cp1251ToUtf8(Trim(text));
}

DetectedDevice Detect(const SerialDevice& device, const std::map<int, std::string>& mappings,
                      const std::string& root, const ProbeTimings& timings) {
    DetectedDevice d;
    d.device = device.path;
    const std::vector<int> ports = PortsOpening(device, mappings, root);
    if (!ports.empty())
        d.port = ports.front();
    if (!device.vskNames.empty() || !device.byId.empty())
        d.stableName = StableName(device);
    const ProbeResult probe = ProbeRegister(root + device.path, timings);
    d.result = probe.result;
    d.detail = probe.detail;
    d.baud = probe.baud;
    if (probe.identified) {
        d.model = "family " + std::to_string(probe.variant.family) + " level " +
                  std::to_string(probe.variant.level);
        d.serial = Shown(probe.info.m_szSerialNumber);
        d.fiscalNumber = Shown(probe.info.m_szFiscalNumber);
        d.firmware = Shown(probe.info.m_szFirmwareVersion);
    }
    return d;
}

}  // namespace

std::vector<DetectedDevice> DetectRegisters(const std::vector<std::string>& names,
                                            const std::map<int, std::string>& mappings,
                                            const std::string& root, const ProbeTimings& timings) {
    std::vector<SerialDevice> devices = ListSerialDevices(root);
    if (!names.empty()) {
        std::vector<SerialDevice> named;
        for (const std::string& name : names)
            named.push_back(Named(DeviceOf(name, mappings), devices, root));
        devices = std::move(named);
    }
    // A device named twice is probed once: two probes of it side by side would find each
    // other holding it.
    std::vector<size_t> probed;
    std::vector<size_t> sameAs(devices.size());
    std::map<fs::path, size_t> first;
    for (size_t i = 0; i < devices.size(); ++i) {
        auto [at, added] = first.emplace(Canonical(root + devices[i].path), i);
        sameAs[i] = at->second;
        if (added)
            probed.push_back(i);
    }
    std::vector<DetectedDevice> found(devices.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t n; (n = next.fetch_add(1)) < probed.size();)
            found[probed[n]] = Detect(devices[probed[n]], mappings, root, timings);
    };
    std::vector<std::thread> probes;
    for (size_t n = 0; n < std::min(probed.size(), kParallelProbes); ++n)
        probes.emplace_back(work);
    for (std::thread& t : probes)
        t.join();
    for (size_t i = 0; i < devices.size(); ++i) {
        if (sameAs[i] != i) {
            found[i] = found[sameAs[i]];
            found[i].device = devices[i].path;
        }
    }
    return found;
}

std::map<int, std::string> PlanMappings(const std::vector<DetectedDevice>& devices,
                                        const std::map<int, std::string>& mappings,
                                        const std::string& root) {
    std::set<int> taken;
    for (const auto& [port, path] : mappings)
        taken.insert(port);
    // COMn with no mapping opens /dev/ttyS{n-1}: where that port is present, COMn is its.
    for (const SerialDevice& d : ListSerialDevices(root))
        if (d.path.rfind("/dev/ttyS", 0) == 0)
            taken.insert(std::atoi(d.path.c_str() + 9) + 1);
    std::map<int, std::string> planned;
    std::set<fs::path> mapped;  // a device named twice is mapped once
    int port = 1;
    for (const DetectedDevice& d : devices) {
        if (d.result != DetectedDevice::Result::Found || d.port)
            continue;
        if (!mapped.insert(Canonical(root + d.device)).second)
            continue;
        while (port <= 255 && taken.count(port))
            ++port;
        if (port > 255)
            break;
        planned[port] = d.stableName.empty() ? d.device : d.stableName;
        taken.insert(port);
    }
    return planned;
}

std::string DescribeDetection(const std::vector<DetectedDevice>& devices) {
    if (devices.empty())
        return "no serial devices present\n";
    std::string text;
    for (const DetectedDevice& d : devices) {
        std::string line =
            d.device + "\t" + (d.port ? "COM" + std::to_string(*d.port) : "-") + "\t";
        switch (d.result) {
            case DetectedDevice::Result::Found:
                line += "register at " + std::to_string(d.baud) + " baud";
                if (!d.model.empty())
                    line += ": " + d.model + ", serial " + d.serial + ", fiscal number " +
                            d.fiscalNumber + ", firmware " + d.firmware;
                break;
            case DetectedDevice::Result::Busy:
                line += "busy: another program holds it; not probed";
                break;
            case DetectedDevice::Result::NoAnswer:
                line += "no answer at 115200 or 57600 baud";
                break;
            case DetectedDevice::Result::NotRegister:
                line += "not a register: it answered, but not in the register's protocol";
                break;
            case DetectedDevice::Result::CannotOpen:
                line += "cannot open";
                break;
        }
        if (!d.detail.empty())
            line += (d.result == DetectedDevice::Result::Found ? " (" : ": ") + d.detail +
                    (d.result == DetectedDevice::Result::Found ? ")" : "");
        text += line + "\n";
    }
    return text;
}

int RunDetection(const std::vector<std::string>& names, bool map, RegistryStore& reg) {
    const std::string root = SystemRoot();
    const std::map<int, std::string> mappings = ListPortMappings(reg);
    const std::vector<DetectedDevice> devices = DetectRegisters(names, mappings, root);
    std::fputs(DescribeDetection(devices).c_str(), stdout);
    const bool found = std::any_of(devices.begin(), devices.end(), [](const DetectedDevice& d) {
        return d.result == DetectedDevice::Result::Found;
    });
    if (!map)
        return found ? 0 : 1;
    bool written = true;
    const std::map<int, std::string> planned = PlanMappings(devices, mappings, root);
    for (const auto& [port, name] : planned) {
        const bool ok = SetPortMapping(reg, port, name);
        std::printf("COM%d=%s%s\n", port, name.c_str(), ok ? "" : " (could not be written)");
        written = written && ok;
    }
    if (planned.empty() && found)
        std::printf("every register found is mapped already\n");
    return found && written ? 0 : 1;
}

std::optional<std::vector<DetectedDevice>> CPortDetector::Detect() {
    {
        std::unique_lock lock(m_mutex);
        if (!m_ended.wait_for(lock, kDetectionWait, [this] { return !m_running; }))
            return std::nullopt;
        m_running = true;
    }
    // Let go however the detection ends (a thread that cannot be had throws).
    struct Ending {
        CPortDetector& detector;
        ~Ending() {
            {
                std::lock_guard lock(detector.m_mutex);
                detector.m_running = false;
            }
            detector.m_ended.notify_one();
        }
    } ending{*this};
    return DetectRegisters({}, ListPortMappings(RegistryStore()), SystemRoot());
}

}  // namespace vsk
