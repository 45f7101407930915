// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

#include <filesystem>

namespace qn480::platform {

std::vector<std::string> deviceFolders()
{
    // udev makes and removes the nodes in /dev, and the by-id links below it.
    return {"/dev", "/dev/serial/by-id"};
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
