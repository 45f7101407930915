// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_port.h"

#include "link.h"
#include "serial_platform.h"
#include "text_util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace qn480 {

namespace {

std::optional<int> number(std::string_view digits)
{
    if (digits.empty() || digits.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Told once per process, however many ports it opens.
void warnOnce(const std::string &message)
{
    static std::once_flag told;
    std::call_once(told, [&] { std::cerr << message << std::endl; });
}

} // namespace

bool failOpen(OpenFailure *failure, int error, std::string reason)
{
    if (failure)
        *failure = {error, std::move(reason)};
    return false;
}

namespace {

// The platform's own port, where it has one.
std::optional<SerialBackend> nativeBackend()
{
    if (platform::hasTermiosPort())
        return SerialBackend::Termios;
    if (platform::hasWin32Port())
        return SerialBackend::Win32;
    return std::nullopt;
}

bool available(SerialBackend backend)
{
    if (backend == SerialBackend::Qt)
        return qtServices().openPort != nullptr;
    return nativeBackend() == backend;
}

} // namespace

SerialBackend serialBackend()
{
    const SerialBackend fallback = nativeBackend().value_or(SerialBackend::Qt);
    const char *env = std::getenv("QN480_SERIAL_BACKEND");
    if (env == nullptr || *env == '\0')
        return fallback;
    const std::string name = lowerCase(trimmed(env));
    for (const SerialBackend backend :
         {SerialBackend::Qt, SerialBackend::Termios, SerialBackend::Win32}) {
        if (name != backendName(backend))
            continue;
        if (available(backend))
            return backend;
        warnOnce("QN480_SERIAL_BACKEND: ignoring " + quoted(env) + "; this program has no " + name +
                 " port (using " + std::string(backendName(fallback)) + ")");
        return fallback;
    }
    warnOnce("QN480_SERIAL_BACKEND: ignoring " + quoted(env) + "; use qt, termios or win32" +
             " (using " + std::string(backendName(fallback)) + ")");
    return fallback;
}

std::string_view backendName(SerialBackend backend)
{
    switch (backend) {
    case SerialBackend::Qt:
        return "qt";
    case SerialBackend::Win32:
        return "win32";
    case SerialBackend::Termios:
        break;
    }
    return "termios";
}

std::optional<LineSettings> parseLineSettings(std::string_view text)
{
    // Baud, parity, data bits, stop bits: "115200,n,8,1", or the long form
    // "baud=115200 parity=n data=8 stop=1".
    std::array<std::string_view, 4> fields;
    text = trimmed(text);
    if (text.find('=') == std::string_view::npos) {
        std::size_t count = 0;
        std::size_t pos = 0;
        for (;;) {
            const std::size_t comma = text.find(',', pos);
            if (count == fields.size())
                return std::nullopt;
            fields[count++] = trimmed(text.substr(
                pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
            if (comma == std::string_view::npos)
                break;
            pos = comma + 1;
        }
        if (count != fields.size())
            return std::nullopt;
    } else {
        constexpr std::array<std::string_view, 4> keys{"baud", "parity", "data", "stop"};
        std::size_t pos = 0;
        while (pos < text.size()) {
            const std::size_t blank = std::min(text.find(' ', pos), text.size());
            const std::string_view item = text.substr(pos, blank - pos);
            pos = blank + 1;
            if (item.empty())
                continue;
            const std::size_t eq = item.find('=');
            const std::string key = lowerCase(item.substr(0, eq));
            const auto slot = std::find(keys.begin(), keys.end(), key);
            if (eq == std::string_view::npos || slot == keys.end())
                return std::nullopt;
            std::string_view &field = fields[static_cast<std::size_t>(slot - keys.begin())];
            if (!field.empty())
                return std::nullopt;
            field = item.substr(eq + 1);
        }
    }

    LineSettings settings;
    const auto baud = number(fields[0]);
    const auto dataBits = number(fields[2]);
    const auto stopBits = number(fields[3]);
    if (!baud || *baud <= 0 || fields[1].size() != 1 || !dataBits || !stopBits)
        return std::nullopt;
    const char parity = static_cast<char>(std::tolower(static_cast<unsigned char>(fields[1][0])));
    if (std::string_view("neoms").find(parity) == std::string_view::npos)
        return std::nullopt;
    if (*dataBits < 5 || *dataBits > 8 || (*stopBits != 1 && *stopBits != 2))
        return std::nullopt;
    settings.baud = *baud;
    settings.parity = parity;
    settings.dataBits = *dataBits;
    settings.stopBits = *stopBits;
    return settings;
}

std::unique_ptr<Port> openSerialDevice(const std::string &device, const LineSettings &settings,
                                       OpenFailure *failure)
{
    return openSerialDevice(device, settings, serialBackend(), failure);
}

std::unique_ptr<Port> openSerialDevice(const std::string &device, const LineSettings &settings,
                                       SerialBackend backend, OpenFailure *failure)
{
    switch (backend) {
    case SerialBackend::Termios:
        return platform::openTermiosPort(device, settings, failure);
    case SerialBackend::Win32:
        return platform::openWin32Port(device, settings, failure);
    case SerialBackend::Qt:
        break;
    }
    if (const auto open = qtServices().openPort)
        return open(device, settings, failure);
    failOpen(failure, 0, "this program has no Qt port");
    return nullptr;
}

bool OpenPort(Link &link, const std::vector<PortEntry> &ports, int number,
              std::string_view settings, OpenFailure *failure)
{
    ClosePort(link);
    if (number <= 0)
        return failOpen(failure, 0, "no port chosen");
    const auto entry = std::find_if(ports.begin(), ports.end(),
                                    [&](const PortEntry &port) { return port.number == number; });
    if (entry == ports.end())
        return failOpen(failure, ENOENT, comName(number) + " is not in the port list");
    const auto line = parseLineSettings(settings);
    if (!line)
        return failOpen(failure, 0,
                        "cannot read the line settings \"" + std::string(settings) + "\"");
    auto port = openSerialDevice(entry->device, *line, failure);
    if (!port)
        return false;
    link.attach(std::move(port));
    return true;
}

bool ClosePort(Link &link)
{
    // The port restores and closes itself when the link lets go of it.
    link.close();
    return true;
}

} // namespace qn480
