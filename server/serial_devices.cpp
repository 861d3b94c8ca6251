#include "server/serial_devices.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vsk {

namespace fs = std::filesystem;

namespace {

std::string ReadLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The device path as the user names it, without the test root.
std::string Unrooted(const fs::path& path, const std::string& root) {
    std::string text = path.string();
    if (!root.empty() && text.rfind(root, 0) == 0)
        text.erase(0, root.size());
    return text;
}

fs::path Canonical(const fs::path& path) {
    std::error_code ec;
    fs::path c = fs::canonical(path, ec);
    return ec ? path.lexically_normal() : c;
}

// A device path under the root; a mapping names the real /dev.
fs::path Rooted(const std::string& path, const std::string& root) {
    return fs::path(root + path);
}

bool IsTtyName(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + long(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

int TtyNumber(const std::string& name, const std::string& prefix) {
    return std::atoi(name.c_str() + prefix.size());
}

// The USB device above a tty in sysfs: the first folder upwards with an idVendor.
void ReadUsbIdentity(SerialDevice& d, const std::string& root, const std::string& name) {
    const fs::path sys = Canonical(fs::path(root + "/sys"));
    std::error_code ec;
    fs::path at = Canonical(fs::path(root + "/sys/class/tty/" + name + "/device"));
    for (int depth = 0; depth < 12 && at.string().rfind(sys.string(), 0) == 0 && at != sys;
         ++depth, at = at.parent_path()) {
        if (!fs::exists(at / "idVendor", ec))
            continue;
        d.vendorId = ReadLine(at / "idVendor");
        d.productId = ReadLine(at / "idProduct");
        d.vendor = ReadLine(at / "manufacturer");
        d.model = ReadLine(at / "product");
        d.serial = ReadLine(at / "serial");
        return;
    }
}

// Built-in UARTs are listed by the kernel whether or not there is hardware behind them; the
// port type 0 means none.
bool HasUart(const std::string& root, const std::string& name) {
    std::string type = ReadLine(root + "/sys/class/tty/" + name + "/type");
    return !type.empty() && type != "0";
}

}  // namespace

std::string SystemRoot() {
    const char* root = std::getenv("VSK_SYSTEM_ROOT");
    std::string text = root ? root : "";
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

std::vector<SerialDevice> ListSerialDevices(const std::string& root) {
    struct Found {
        int kind;  // USB adapters first, then ACM, then the built-in ports
        int number;
        SerialDevice device;
    };
    std::vector<Found> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root + "/dev", ec)) {
        const std::string name = entry.path().filename().string();
        int kind = IsTtyName(name, "ttyUSB")   ? 0
                   : IsTtyName(name, "ttyACM") ? 1
                   : IsTtyName(name, "ttyS")   ? 2
                                               : -1;
        if (kind < 0 || (kind == 2 && !HasUart(root, name)))
            continue;
        SerialDevice d;
        d.path = "/dev/" + name;
        if (kind != 2)
            ReadUsbIdentity(d, root, name);
        found.push_back({kind,
                         TtyNumber(name, kind == 0   ? "ttyUSB"
                                         : kind == 1 ? "ttyACM"
                                                     : "ttyS"),
                         std::move(d)});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });
    std::vector<SerialDevice> devices;
    for (Found& f : found)
        devices.push_back(std::move(f.device));
    for (auto [folder, names] : {std::pair{"/dev/serial/by-id", &SerialDevice::byId},
                                 std::pair{"/dev/vsk", &SerialDevice::vskNames}}) {
        for (const auto& entry : fs::directory_iterator(root + folder, ec)) {
            const fs::path target = Canonical(entry.path());
            for (SerialDevice& d : devices)
                if (Canonical(Rooted(d.path, root)) == target)
                    (d.*names).push_back(Unrooted(entry.path(), root));
        }
    }
    for (SerialDevice& d : devices) {
        std::sort(d.byId.begin(), d.byId.end());
        std::sort(d.vskNames.begin(), d.vskNames.end());
    }
    return devices;
}

std::vector<int> PortsOpening(const SerialDevice& device,
                              const std::map<int, std::string>& mappings, const std::string& root) {
    const fs::path self = Canonical(Rooted(device.path, root));
    std::vector<int> ports;
    for (const auto& [port, path] : mappings)
        if (!path.empty() && path[0] == '/' && Canonical(Rooted(path, root)) == self)
            ports.push_back(port);
    // Only /dev/ttyS<n-1> itself is COMn's when unmapped (a name given by hand may be short).
    if (device.path.rfind("/dev/", 0) == 0 && IsTtyName(device.path.substr(5), "ttyS")) {
        int port = TtyNumber(device.path.substr(5), "ttyS") + 1;
        if (port <= 255 && !mappings.count(port))
            ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::string StableName(const SerialDevice& device) {
    if (!device.vskNames.empty())
        return device.vskNames.front();
    if (!device.byId.empty())
        return device.byId.front();
    return device.path;
}

std::string DescribePorts(const std::map<int, std::string>& mappings, const std::string& root) {
    std::string text;
    for (const auto& [port, path] : mappings) {
        std::error_code ec;
        bool present = fs::exists(Rooted(path, root), ec);
        text +=
            "COM" + std::to_string(port) + "\t" + path + (present ? "" : "\t(not present)") + "\n";
    }
    std::vector<SerialDevice> devices = ListSerialDevices(root);
    text += devices.empty() ? "no serial devices present\n" : "serial devices present:\n";
    for (const SerialDevice& d : devices) {
        std::string ports;
        for (int p : PortsOpening(d, mappings, root))
            ports += (ports.empty() ? "COM" : ",COM") + std::to_string(p);
        text += "  " + d.path + "\t" + (ports.empty() ? "-" : ports);
        if (!d.vendorId.empty()) {
            text += "\t" + d.vendorId + ":" + d.productId;
            for (const std::string* part : {&d.vendor, &d.model})
                if (!part->empty())
                    text += " " + *part;
            if (!d.serial.empty())
                text += " serial " + d.serial;
        }
        text += "\n";
        for (const auto* links : {&d.vskNames, &d.byId})
            for (const std::string& link : *links)
                text += "    " + link + "\n";
    }
    return text;
}

}  // namespace vsk
