// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_list.h"

#include "serial_platform.h"
#include "text_util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

namespace qn480 {

namespace {

// Families of Linux serial devices with a fixed block of COM numbers: the device's own
// number is added to the first. Anything else is hashed into the last block, so that the
// same name always gets the same COM number whatever else is plugged in.
struct DeviceFamily
{
    std::string_view prefix;
    int first;
    int count;
};

constexpr std::array kFamilies{
    DeviceFamily{"ttyS", 1, 99},      // ttyS0 is COM01, as on the PC the reader came from
    DeviceFamily{"ttyUSB", 100, 100}, // USB adaptors: ttyUSB0 is COM100
    DeviceFamily{"ttyACM", 200, 100}, // USB CDC-ACM: ttyACM0 is COM200
    DeviceFamily{"ttyAMA", 300, 100}, // on-board UARTs of ARM boards
    DeviceFamily{"rfcomm", 400, 100}, // Bluetooth serial
};
constexpr int kHashedFirst = 1000;
constexpr int kHashedCount = 9000; // COM1000 to COM9999
constexpr int kMaxPortNumber = 99999;

// A non-negative decimal number without sign or blanks; -1 when the text is not one.
int decimal(std::string_view digits)
{
    if (digits.size() > 9)
        return -1;
    return static_cast<int>(decimalIn(digits, 0, 999999999).value_or(-1));
}

std::uint32_t fnv1a(std::string_view text)
{
    std::uint32_t hash = 2166136261u;
    for (char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    return hash;
}

int hashedNumber(std::string_view deviceName)
{
    return kHashedFirst + static_cast<int>(fnv1a(deviceName) % kHashedCount);
}

bool textLess(const PortEntry &a, const PortEntry &b)
{
    return a.name < b.name;
}

// Sorted as text, and a name already present is not added again (the first one stays).
std::vector<PortEntry> sortedUnique(std::vector<PortEntry> ports)
{
    std::stable_sort(ports.begin(), ports.end(), textLess);
    ports.erase(
        std::unique(ports.begin(), ports.end(),
                    [](const PortEntry &a, const PortEntry &b) { return a.name == b.name; }),
        ports.end());
    return ports;
}

std::string describe(const SystemPort &info, const std::string &device)
{
    std::vector<std::string> parts;
    if (!info.description.empty())
        parts.push_back(info.description);
    if (!info.manufacturer.empty())
        parts.push_back(info.manufacturer);
    if (!info.serialNumber.empty())
        parts.push_back("serial number " + info.serialNumber);
    if (const std::string stable = platform::stableDeviceName(device); !stable.empty())
        parts.push_back(stable);
    std::string text = device;
    for (const std::string &part : parts)
        text += ", " + part;
    return text;
}

} // namespace

std::string comName(int number)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "COM%02d", number);
    return buf;
}

int comNumberOf(std::string_view name)
{
    if (name.size() < 4)
        return 0;
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[static_cast<std::size_t>(i)])) != "COM"[i])
            return 0;
    }
    const int number = decimal(name.substr(3));
    return number >= 1 && number <= kMaxPortNumber ? number : 0;
}

int portNumber(std::string_view name)
{
    if (name.size() <= 3)
        return 0;
    return std::max(decimal(name.substr(3)), 0);
}

int comNumberForDevice(std::string_view deviceName)
{
    if (const auto slash = deviceName.find_last_of("/\\"); slash != std::string_view::npos)
        deviceName.remove_prefix(slash + 1);
    // Windows' own names; no other system names a port so.
    if (const int number = comNumberOf(deviceName); number != 0)
        return number;
    for (const DeviceFamily &family : kFamilies) {
        if (deviceName.substr(0, family.prefix.size()) != family.prefix)
            continue;
        const int index = decimal(deviceName.substr(family.prefix.size()));
        if (index >= 0 && index < family.count)
            return family.first + index;
    }
    return hashedNumber(deviceName);
}

bool offeredPortName(std::string_view portName)
{
    return portName.substr(0, 4) != "tty.";
}

std::vector<PortEntry> mergePorts(std::vector<PortEntry> real, std::string_view virtualPorts,
                                  const std::function<void(const std::string &)> &warn,
                                  const std::function<bool(const std::string &)> &present)
{
    for (PortEntry &entry : real)
        entry.name = comName(entry.number);

    std::vector<PortEntry> virtuals;
    std::set<int> given;
    std::set<int> taken;
    std::size_t pos = 0;
    while (pos <= virtualPorts.size()) {
        const std::size_t end = std::min(virtualPorts.find(';', pos), virtualPorts.size());
        const std::string_view entry = trimmed(virtualPorts.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty())
            continue; // "COM07=/a;" or an empty variable: nothing to say
        const std::size_t eq = entry.find('=');
        const int number =
            eq == std::string_view::npos ? 0 : comNumberOf(trimmed(entry.substr(0, eq)));
        const std::string_view device =
            eq == std::string_view::npos ? std::string_view{} : trimmed(entry.substr(eq + 1));
        if (number == 0 || device.empty()) {
            if (warn) {
                warn("QN480_PORTS: ignoring " + quoted(entry) +
                     "; entries look like COM07=/path/to/device");
            }
            continue;
        }
        if (!given.insert(number).second) {
            if (warn) {
                warn("QN480_PORTS: ignoring " + quoted(entry) + "; " + comName(number) +
                     " is already given");
            }
            continue;
        }
        if (present && !present(std::string(device)))
            continue; // its path is not there (now): a real port of its number shows instead
        taken.insert(number);
        virtuals.push_back({comName(number), number, std::string(device),
                            std::string(device) + ", from QN480_PORTS"});
    }

    // A virtual port wins over a real one of the same number.
    std::erase_if(real, [&](const PortEntry &entry) { return taken.count(entry.number) != 0; });
    real.insert(real.end(), virtuals.begin(), virtuals.end());
    return sortedUnique(std::move(real));
}

namespace {

// A virtual port comes and goes with its path (a simulator's link, say); a bare name such
// as Windows' COM3 is no path to look at.
bool isPath(const std::string &entry)
{
    return std::filesystem::path(entry).has_root_directory();
}

bool virtualPortPresent(const std::string &entry)
{
    std::error_code error;
    return !isPath(entry) || std::filesystem::exists(entry, error);
}

} // namespace

std::string portListSignature()
{
    std::string signature;
    const auto add = [&signature](const std::filesystem::path &folder) {
        std::error_code error;
        const auto changed = std::filesystem::last_write_time(folder, error);
        signature += error ? std::string("-") : std::to_string(changed.time_since_epoch().count());
        if (std::filesystem::is_symlink(folder, error))
            signature += std::filesystem::read_symlink(folder, error).string();
        signature += ';';
    };
    const std::vector<std::string> folders = platform::deviceFolders();
    if (folders.empty())
        return {}; // nothing to watch: never the same, so the list is read every time
    for (const std::string &folder : folders)
        add(folder);
    const char *env = std::getenv("QN480_PORTS");
    if (env) {
        // The list takes a virtual port only by whether its path is there: one look per
        // path, with the text parsed again only when it changes. A watcher asks every
        // second, and QN480_PORTS may name thousands.
        thread_local std::string parsedText;
        thread_local std::vector<std::filesystem::path> paths;
        if (parsedText != env) {
            parsedText = env;
            paths.clear();
            for (const PortEntry &entry : mergePorts({}, env, {})) {
                if (isPath(entry.device))
                    paths.emplace_back(entry.device);
            }
        }
        signature += env;
        signature += ';';
        for (const std::filesystem::path &path : paths) {
            std::error_code error;
            signature += std::filesystem::exists(path, error) ? '1' : '0';
        }
    }
    return signature;
}

std::vector<PortEntry> listPorts(PortListing how)
{
    const auto qtPorts = qtServices().systemPorts;
    auto infos = qtPorts ? qtPorts() : platform::systemPorts();
    // Device names in order, so that a rare clash of hashed numbers is settled the same way
    // every time: the name sorting first keeps the number, the next takes the next free one.
    std::sort(infos.begin(), infos.end(),
              [](const SystemPort &a, const SystemPort &b) { return a.portName < b.portName; });
    std::vector<PortEntry> real;
    std::set<int> used;
    for (const SystemPort &info : infos) {
        const std::string &name = info.portName;
        if (!offeredPortName(name))
            continue;
        const std::string &device = info.location;
        int number = comNumberForDevice(name);
        for (int step = 0; number >= kHashedFirst && used.count(number) != 0 && step < kHashedCount;
             ++step) {
            number = number + 1 < kHashedFirst + kHashedCount ? number + 1 : kHashedFirst;
        }
        if (!used.insert(number).second)
            continue; // two names of one family cannot clash; a duplicate device can
        real.push_back({comName(number), number, device, describe(info, device)});
    }
    const char *env = std::getenv("QN480_PORTS");
    return mergePorts(
        std::move(real), env ? env : "",
        [&](const std::string &message) {
            if (how.warn)
                std::cerr << message << '\n';
        },
        how.presentOnly ? virtualPortPresent : std::function<bool(const std::string &)>{});
}

} // namespace qn480
