#include "server/registration.h"

#include <cstdlib>

#include "link/settings.h"
#include "rpc/type_library.h"

namespace vsk {

namespace {

const Hive kCR = Hive::ClassesRoot;

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// The proxy of the interface description: the platform's standard automation marshaller.
constexpr const char* kOleAutomationMarshaller = "{00020424-0000-0000-C000-000000000046}";

}  // namespace

bool RegisterServer(RegistryStore& reg, const std::string& modulePath) {
    using namespace typelib;
    const std::string appId = GuidToString(APPID_VSKManager);
    const std::string clsid = "CLSID\\" + GuidToString(CLSID_Veskar);
    const std::string libId = GuidToString(LIBID_VSKManager);
    bool ok = true;
    auto set = [&](const std::string& key, const std::string& name, const std::string& value) {
        ok = reg.SetValue(kCR, key, name, value) && ok;
    };

    // The framework's entries for the VSKManager.Application class.
    const std::string managerClsid = "CLSID\\" + GuidToString(CLSID_VSKManager);
    set(kManagerProgId, "", kManagerProgId);
    set(std::string(kManagerProgId) + "\\CLSID", "", GuidToString(CLSID_VSKManager));
    set(managerClsid, "", kManagerProgId);
    set(managerClsid + "\\ProgID", "", kManagerProgId);
    // Each object of this single-use class has a server process of its own; that server takes
    // no instance lock, since the one-per-user server may be running already.
    set(managerClsid + "\\LocalServer32", "", Quoted(modulePath) + " --no-instance-lock");

    // Application identifier.
    set("AppID\\" + appId, "", "VSKManager");
    set("AppID\\VSKManagerPlus.EXE", "AppID", appId);

    // The Veskar class, written afresh.
    for (const char* progId : {kVeskarProgId, kVeskarVersionIndependentProgId}) {
        set(progId, "", kVeskarClassHelp);
        set(std::string(progId) + "\\CLSID", "", GuidToString(CLSID_Veskar));
    }
    set(std::string(kVeskarVersionIndependentProgId) + "\\CurVer", "", kVeskarProgId);
    reg.DeleteTree(kCR, clsid);
    set(clsid, "", kVeskarClassHelp);
    set(clsid, "AppID", appId);
    set(clsid + "\\ProgID", "", kVeskarProgId);
    set(clsid + "\\VersionIndependentProgID", "", kVeskarVersionIndependentProgId);
    ok = reg.CreateKey(kCR, clsid + "\\Programmable") && ok;
    set(clsid + "\\LocalServer32", "", Quoted(modulePath));
    set(clsid + "\\TypeLib", "", libId);

    // The type library, served from the executable itself.
    const std::string lib = "TypeLib\\" + libId + "\\" + std::to_string(kVersionMajor) + "." +
                            std::to_string(kVersionMinor);
    set(lib, "", kLibraryName);
    set(lib + "\\FLAGS", "", "0");
    set(lib + "\\HELPDIR", "", "");
    set(lib + "\\409\\linux", "", modulePath);
    for (const ITypeInfo* info : {&VeskarTypeInfo(), &ManagerTypeInfo()}) {
        const std::string key = "Interface\\" + GuidToString(info->iid);
        set(key, "", info->name);
        set(key + "\\ProxyStubClsid32", "", kOleAutomationMarshaller);
        set(key + "\\TypeLib", "", libId);
        set(key + "\\TypeLib", "Version", "1.0");
    }
    return ok;
}

bool UnregisterServer(RegistryStore& reg) {
    using namespace typelib;
    bool ok = true;
    auto drop = [&](const std::string& key) {
        if (reg.KeyExists(kCR, key))
            ok = reg.DeleteTree(kCR, key) && ok;
    };
    drop("AppID\\" + GuidToString(APPID_VSKManager));
    drop("AppID\\VSKManagerPlus.EXE");
    drop(kVeskarProgId);
    drop(kVeskarVersionIndependentProgId);
    drop("CLSID\\" + GuidToString(CLSID_Veskar));
    drop("TypeLib\\" + GuidToString(LIBID_VSKManager));
    drop("Interface\\" + GuidToString(IID_IVeskar));
    drop("Interface\\" + GuidToString(IID_IVSKManager));
    drop(kManagerProgId);
    drop("CLSID\\" + GuidToString(CLSID_VSKManager));
    return ok;
}

std::string PortsKey() {
    return std::string(kSettingsRoot) + "Ports";
}

bool SetPortMapping(RegistryStore& reg, int port, const std::string& devicePath) {
    return reg.SetValue(Hive::CurrentUser, PortsKey(), "COM" + std::to_string(port), devicePath);
}

bool UnsetPortMapping(RegistryStore& reg, int port) {
    return reg.DeleteValue(Hive::CurrentUser, PortsKey(), "COM" + std::to_string(port));
}

std::map<int, std::string> ListPortMappings(const RegistryStore& reg) {
    std::map<int, std::string> ports;
    for (const std::string& name : reg.ValueNames(Hive::CurrentUser, PortsKey())) {
        if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "com") != 0))
            continue;
        char* end = nullptr;
        long n = std::strtol(name.c_str() + 3, &end, 10);
        if (*end != '\0' || n <= 0)
            continue;
        auto value = reg.GetValue(Hive::CurrentUser, PortsKey(), name);
        if (value && std::holds_alternative<std::string>(*value))
            ports[int(n)] = std::get<std::string>(*value);
    }
    return ports;
}

}  // namespace vsk
