// The serial devices present on this computer, as --list-ports shows them: USB adapters
// (ttyUSB*, ttyACM*) with the vendor, model and serial number their USB device reports in
// sysfs, the stable names under /dev/serial/by-id and /dev/vsk (our udev rule's) that point at
// them, and the built-in ports (ttyS*) that have hardware behind them.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vsk {

struct SerialDevice {
    std::string path;                   // "/dev/ttyUSB0"
    std::vector<std::string> byId;      // "/dev/serial/by-id/usb-…" names of the same device
    std::vector<std::string> vskNames;  // "/dev/vsk/<adapter serial>" names of it
    std::string vendorId, productId;    // hexadecimal, from the USB device; empty for ttyS*
    std::string vendor, model, serial;
};

// Where /sys and /dev are looked for: $VSK_SYSTEM_ROOT ("" for the real ones), so that tests
// can lay out a tree of their own.
std::string SystemRoot();

std::vector<SerialDevice> ListSerialDevices(const std::string& root);

// The COM ports that open `device`: those mapped to it (through any name of it, such as a
// by-id link) and, for /dev/ttyS<n-1> with COMn unmapped, COMn itself.
std::vector<int> PortsOpening(const SerialDevice& device,
                              const std::map<int, std::string>& mappings, const std::string& root);

// The name a mapping of the device should use: one that survives re-plugging (/dev/vsk/...,
// made for registers, else /dev/serial/by-id/...), else its own path.
std::string StableName(const SerialDevice& device);

// The text of --list-ports: the mappings, then the devices present.
std::string DescribePorts(const std::map<int, std::string>& mappings, const std::string& root);

}  // namespace vsk
