// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "qt_services.h"
#include "serial_port.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qn480 {

// Fills `failure`, when asked for, and returns false: every open path's way out.
bool failOpen(OpenFailure *failure, int error, std::string reason);

} // namespace qn480

// What each platform adds to the shared serial code. Linux builds serial_port_linux.cpp and
// port_list_linux.cpp, Windows serial_port_windows.cpp and port_list_windows.cpp; every
// other platform builds serial_platform_other.cpp.
namespace qn480::platform {

// The system's handle of an open port (as QSerialPort::handle() gives it): a descriptor, or
// a Windows HANDLE.
#ifdef _WIN32
using SerialHandle = void *;
#else
using SerialHandle = int;
#endif

// Whether this build has the termios port.
bool hasTermiosPort();
// The termios port; nothing, with the reason, where there is none.
std::unique_ptr<Port> openTermiosPort(const std::string &device, const LineSettings &settings,
                                      OpenFailure *failure);

// Whether this build has the Win32 port, and the port itself (nothing, with the reason,
// where there is none).
bool hasWin32Port();
std::unique_ptr<Port> openWin32Port(const std::string &device, const LineSettings &settings,
                                    OpenFailure *failure);

// The serial ports the system lists, where the program has no Qt to ask.
std::vector<SystemPort> systemPorts();

// Exclusion a Qt-opened port takes beyond Qt's own: on Linux the lock the termios port
// takes, so that a window on one backend and qn480ctl on the other shut each other out.
// Returns 0 or the system's error.
int lockQtPort(SerialHandle handle);

// The reason to give when opening `device` was refused as busy but no program holds the
// lock every open of this tool takes: the port was left exclusive (TIOCEXCL) by a program
// that ended without clearing it. Nothing while a program holds it, or where the platform
// cannot tell.
std::optional<std::string> leftExclusiveReason(const std::string &device);

// How waitLineOr ended.
enum class LineWait { TimeOut, Line, Wake };
// Waits until the line (when given) has something to say or `wake` (a descriptor, -1 for
// none) is readable, or `timeout` passes; nothing, at once, where the platform cannot.
std::optional<LineWait> waitLineOr(std::optional<SerialHandle> line, int wake,
                                   std::chrono::nanoseconds timeout);

// Whether the line is hung up (the kernel's answer after an unplug), looked at without
// reading; nothing where the platform cannot tell.
std::optional<bool> lineHungUp(SerialHandle handle);

// A stable name of the device for the operator (Linux: its serial/by-id link), or empty.
std::string stableDeviceName(const std::string &device);

// Folders whose change time moves when a serial device is plugged in or out; empty where
// there are none to watch (the port list is then read again each time).
std::vector<std::string> deviceFolders();

} // namespace qn480::platform
