// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

#include <windows.h>

namespace qn480::platform {

std::vector<SystemPort> systemPorts()
{
    // The serial drivers enter every port they serve here, the COM name as the value's data.
    std::vector<SystemPort> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataSize] = 0;
        std::string port(reinterpret_cast<const char *>(data));
        while (!port.empty() && port.back() == '\0')
            port.pop_back();
        if (port.empty())
            continue;
        // The driver's device name (\Device\Serial0, \Device\VCP0) tells the kind of port.
        ports.push_back({port, port, std::string(name, nameSize), {}, {}});
    }
    RegCloseKey(key);
    return ports;
}

std::string stableDeviceName(const std::string &)
{
    return {}; // COM names are stable already
}

std::vector<std::string> deviceFolders()
{
    return {}; // nothing to watch: the list is read every time
}

} // namespace qn480::platform
