// Class, application identifier and type library registration in the HKCR hive of the
// registry store, and the per-user mapping of COM port numbers to device paths.
#pragma once

#include <map>
#include <string>

#include "platform/registry.h"

namespace vsk {

// Writes the application identifier, the Veskar class with its ProgIDs, the type library
// with its two interfaces, and the VSKManager.Application class. modulePath is the server
// executable's full path; LocalServer32 holds it in double quotes.
bool RegisterServer(RegistryStore& reg, const std::string& modulePath);
// Removes all of it again (the AppID and CLSID parent keys stay).
bool UnregisterServer(RegistryStore& reg);

// The "Ports" section of the settings: string value "COMn" = device path.
std::string PortsKey();
bool SetPortMapping(RegistryStore& reg, int port, const std::string& devicePath);
bool UnsetPortMapping(RegistryStore& reg, int port);
std::map<int, std::string> ListPortMappings(const RegistryStore& reg);

}  // namespace vsk
