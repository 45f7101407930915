// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A udev rule for the USB serial adapter of one reader, filled in from what udev knows about
// its device node, ready to copy to /etc/udev/rules.d/.

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qn480 {

// A device's udev properties, as `udevadm info --query=property` prints them.
using UdevProperties = std::map<std::string, std::string, std::less<>>;

// KEY=value lines; other lines are skipped.
UdevProperties parseUdevProperties(std::string_view text);

struct UdevRule
{
    std::string text;  // comment lines and the rule, empty when there is no rule
    std::string name;  // the device's link under /dev, qn480-SERIAL or qn480-PATH
    std::string error; // why there is no rule
};

// The rule for the device with these properties. It matches the adapter by USB vendor,
// product and serial number (or, without a serial number, by the USB port it is plugged
// into), keeps ModemManager away, gives the device to the dialout group and to the person
// at the desktop, and names it /dev/NAME.
UdevRule makeUdevRule(const UdevProperties &device);

// The properties of the device node at `path`, as `udevadm info --query=property` prints
// them; empty with `error` set when udevadm cannot be run or knows no such device.
std::string udevadmProperties(const std::string &path, std::string &error);

} // namespace qn480
