// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

// Platforms other than Linux: the Qt port alone, with Qt's own exclusion.
namespace qn480::platform {

bool hasTermiosPort()
{
    return false;
}

std::unique_ptr<Port> openTermiosPort(const std::string &, const LineSettings &,
                                      OpenFailure *failure)
{
    if (failure)
        *failure = {0, "this build has no termios port; use QN480_SERIAL_BACKEND=qt"};
    return nullptr;
}

bool hasWin32Port()
{
    return false;
}

std::unique_ptr<Port> openWin32Port(const std::string &, const LineSettings &, OpenFailure *failure)
{
    if (failure)
        *failure = {0, "this build has no Win32 port; use QN480_SERIAL_BACKEND=qt"};
    return nullptr;
}

std::vector<SystemPort> systemPorts()
{
    return {};
}

int lockQtPort(SerialHandle)
{
    return 0;
}

std::optional<LineWait> waitLineOr(std::optional<SerialHandle>, int, std::chrono::nanoseconds)
{
    return std::nullopt;
}

std::optional<bool> lineHungUp(SerialHandle)
{
    return std::nullopt;
}

std::optional<std::string> leftExclusiveReason(const std::string &)
{
    return std::nullopt;
}

std::string stableDeviceName(const std::string &)
{
    return {};
}

std::vector<std::string> deviceFolders()
{
    return {};
}

} // namespace qn480::platform
