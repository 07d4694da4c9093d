#include "serial/port_enum.h"

#include <windows.h>
#include <setupapi.h>

#include <string>

namespace {

// Friendly names of the Ports class ("USB Serial Port (COM7)") by port name.
void AddFriendlyNames(std::vector<PortDevice>& devices) {
    static const GUID PORTS_CLASS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char portName[32] = "";
        DWORD size = sizeof portName - 1, type = 0;
        const LONG rc = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        char friendly[256] = "";
        if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(friendly), sizeof friendly - 1, nullptr))
            continue;
        const int number = PortNumberFromName(portName);
        for (PortDevice& d : devices)
            if (number != 0 && PortNumberFromName(d.name) == number && d.friendlyName.empty()) d.friendlyName = friendly;
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

std::vector<PortDevice> PortEnumSystem() {
    std::vector<PortDevice> devices;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return devices;
    for (DWORD i = 0;; ++i) {
        char name[256], data[64];
        DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
        const LONG rc = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        devices.push_back({data, ""});
    }
    RegCloseKey(key);
    AddFriendlyNames(devices);
    return devices;
}
