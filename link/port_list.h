// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

// One port as the operator picks it: "COM" and at least two digits, and the device behind it.
struct PortEntry
{
    std::string name;        // COM05
    int number = 0;          // 5
    std::string device;      // what the system opens: a device path, or COM3 on Windows
    std::string description; // product, serial number, a stable name of the device

    friend bool operator==(const PortEntry &, const PortEntry &) = default;
};

// "COM" followed by the number with at least two digits: COM01, COM12, COM100.
std::string comName(int number);
// "COM7" or "com07" -> 7; 0 when the text is not "COM" (any case) and a number from 1 on.
int comNumberOf(std::string_view name);
// The characters from the fourth on read as a decimal number; 0 when they are not one.
int portNumber(std::string_view name);
// The COM number given to a system's port name: Windows' COM3 keeps its 3; Linux families
// (ttyS0, ttyUSB1, ...) have blocks of their own; any other name (macOS cu.usbserial-1410)
// a stable hash. The rule is documented in the README.
int comNumberForDevice(std::string_view deviceName);
// Whether a port the system lists is offered: macOS lists each port twice, and only its
// cu.* (call-out) twin opens without waiting for a carrier.
bool offeredPortName(std::string_view portName);

// Adds the virtual ports of a QN480_PORTS text ("COM07=/tmp/reader;COM08=COM3") to
// the real ones: an entry wins over a real port of the same number, a malformed one is
// skipped with one call of `warn`, and one whose device `present` (when given) says is not
// there is left out, so that a real port of its number shows. The result is sorted as text
// with no duplicate names.
std::vector<PortEntry> mergePorts(std::vector<PortEntry> real, std::string_view virtualPorts,
                                  const std::function<void(const std::string &)> &warn,
                                  const std::function<bool(const std::string &)> &present = {});

struct PortListing
{
    bool warn = true;         // malformed QN480_PORTS entries are told on standard error
    bool presentOnly = false; // QN480_PORTS entries whose path does not exist are left out
};

// The machine's serial ports plus those of the QN480_PORTS environment variable.
std::vector<PortEntry> listPorts(PortListing how = {});

// A cheap fingerprint of what listPorts() would find (the device folders' change times,
// whether each QN480_PORTS path is there): while it stays the same, so does the list, and a
// watcher need not walk the system's ports again.
std::string portListSignature();

} // namespace qn480
