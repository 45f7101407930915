// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "port.h"
#include "port_list.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

class Link;

inline constexpr std::string_view kReaderSettings = "115200,n,8,1";

struct LineSettings
{
    int baud = 115200;
    char parity = 'n'; // n, e, o, m, s
    int dataBits = 8;  // 5 to 8
    int stopBits = 1;  // 1 or 2
};

// A device-control string such as "115200,n,8,1"; nothing when it cannot be read.
std::optional<LineSettings> parseLineSettings(std::string_view text);

// Why an open failed, for the operator (tooltip, stderr).
struct OpenFailure
{
    int error = 0; // the system's error number, 0 when not from the system
    std::string reason;
};

// Opens a port and makes it usable by the link. At most one port is open: the link's
// previous port is closed (and restored) first. Returns false and fills `failure` when the
// number is unknown, the device cannot be opened or is in use, or the settings are refused.
bool OpenPort(Link &link, const std::vector<PortEntry> &ports, int number,
              std::string_view settings, OpenFailure *failure = nullptr);
// Restores and closes the link's port, if any; always succeeds.
bool ClosePort(Link &link);

// The implementations of the port: the platform's own (termios on Linux, Win32 on Windows)
// and one on Qt Serial Port, which only programs that link the link's Qt part have.
enum class SerialBackend { Termios, Qt, Win32 };

// The backend QN480_SERIAL_BACKEND names ("qt", "termios" or "win32"), else the platform's
// own, or Qt where there is none. An unknown name, or one this program has not, is told
// once on standard error and the default is used.
SerialBackend serialBackend();
std::string_view backendName(SerialBackend backend);

// The port behind OpenPort, for tests and tools that open a device directly.
std::unique_ptr<Port> openSerialDevice(const std::string &device, const LineSettings &settings,
                                       OpenFailure *failure = nullptr);
// The same with a backend of the caller's choice (benchmarks compare them).
std::unique_ptr<Port> openSerialDevice(const std::string &device, const LineSettings &settings,
                                       SerialBackend backend, OpenFailure *failure = nullptr);

} // namespace qn480
