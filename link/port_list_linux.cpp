// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

#include <filesystem>
#include <fstream>

namespace qn480::platform {

std::vector<std::string> deviceFolders()
{
    // udev makes and removes the nodes in /dev, and the by-id links below it.
    return {"/dev", "/dev/serial/by-id"};
}

namespace {

std::string firstLine(const std::filesystem::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

std::vector<SystemPort> systemPorts()
{
    // Every tty the kernel gave a device with a driver; the 8250 driver also makes the UARTs
    // it looked for and did not find, of type 0.
    namespace fs = std::filesystem;
    std::vector<SystemPort> ports;
    std::error_code ec;
    for (const auto &tty : fs::directory_iterator("/sys/class/tty", ec)) {
        std::error_code entryEc;
        const fs::path device = tty.path() / "device";
        const fs::path driver = fs::read_symlink(device / "driver", entryEc);
        if (entryEc)
            continue;
        if (driver.filename() == "serial8250" && firstLine(tty.path() / "type") == "0")
            continue;
        SystemPort port;
        port.portName = tty.path().filename().string();
        port.location = "/dev/" + port.portName;
        // A USB adaptor tells its product, maker and serial number on its USB device.
        for (fs::path up = fs::canonical(device, entryEc); !entryEc && up.has_relative_path();
             up = up.parent_path()) {
            if (fs::exists(up / "idVendor", entryEc)) {
                port.description = firstLine(up / "product");
                port.manufacturer = firstLine(up / "manufacturer");
                port.serialNumber = firstLine(up / "serial");
                break;
            }
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

std::string stableDeviceName(const std::string &device)
{
    namespace fs = std::filesystem;
    const fs::path byId = "/dev/serial/by-id";
    std::error_code ec;
    const fs::path target = fs::canonical(device, ec);
    if (ec)
        return {};
    for (const auto &link : fs::directory_iterator(byId, ec)) {
        std::error_code linkEc;
        if (fs::canonical(link.path(), linkEc) == target && !linkEc)
            return (byId / link.path().filename()).string();
    }
    return {};
}

} // namespace qn480::platform
