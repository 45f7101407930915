// SPDX-License-Identifier: GPL-3.0-or-later
#include "udev_rule.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace qn480 {

namespace {

constexpr std::size_t kMaxUdevadmOutput = 1 << 20;

// The first of the keys the device has: newer udev names some USB properties ID_USB_*.
std::pair<std::string_view, std::string_view> firstOf(const UdevProperties &device,
                                                      std::initializer_list<std::string_view> keys)
{
    for (const std::string_view key : keys) {
        const auto found = device.find(key);
        if (found != device.end() && !found->second.empty())
            return {key, found->second};
    }
    return {};
}

bool isUsbId(std::string_view id)
{
    if (id.size() != 4)
        return false;
    for (const char c : id) {
        if (hexDigitValue(c) < 0)
            return false;
    }
    return true;
}

// Rule values are shell-style patterns in double quotes: a character that would end the
// string or act as a pattern becomes `?`, which still matches it.
std::string matchValue(std::string_view value)
{
    std::string text;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool special = std::strchr("*?[]|\"\\", c) != nullptr && c != '\0';
        text += (special || byte < 0x20 || byte == 0x7F) ? '?' : c;
    }
    return text;
}

// A name under /dev: letters, digits, dot, hyphen and underscore.
std::string deviceName(std::string_view value)
{
    std::string text;
    for (const char c : value) {
        const bool plain =
            std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        text += (plain && (c & 0x80) == 0) ? c : '_';
    }
    return text;
}

// Text for a comment line: one line, whatever the device calls itself.
std::string commentText(std::string_view value)
{
    std::string text;
    for (const char c : value)
        text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    return text;
}

std::string describe(const UdevProperties &device)
{
    const auto vendor = firstOf(device, {"ID_VENDOR_FROM_DATABASE", "ID_VENDOR"}).second;
    const auto model = firstOf(device, {"ID_MODEL_FROM_DATABASE", "ID_MODEL"}).second;
    std::string text = std::string(vendor);
    if (!model.empty())
        text += (text.empty() ? "" : " ") + std::string(model);
    return commentText(text);
}

} // namespace

std::string udevadmProperties(const std::string &path, std::string &error)
{
    // Close-on-exec, so that the child keeps only the ends it is given.
    const auto openPipe = [](int(&fds)[2]) {
        if (::pipe(fds) != 0)
            return false;
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
        return true;
    };
    int out[2];
    int err[2];
    if (!openPipe(out)) {
        error = std::strerror(errno);
        return {};
    }
    if (!openPipe(err)) {
        error = std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const std::string name = "--name=" + path;
    std::vector<char *> argv{const_cast<char *>("udevadm"), const_cast<char *>("info"),
                             const_cast<char *>("--query=property"),
                             const_cast<char *>(name.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "udevadm", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);

    // Both streams at once: a udevadm that fills the pipe of one while we wait on the other
    // would stall, and us with it.
    std::string texts[2];
    std::vector<pollfd> open{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (open[0].fd >= 0 || open[1].fd >= 0) {
        if (::poll(open.data(), open.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (open[i].fd < 0 || open[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(open[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                // What it tells of a device is a few kilobytes; more is not worth keeping.
                if (texts[i].size() < kMaxUdevadmOutput)
                    texts[i].append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(open[i].fd);
                open[i].fd = -1; // poll() skips it from now on
            }
        }
    }
    for (const pollfd &p : open) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
    const std::string &properties = texts[0];
    const std::string &complaint = texts[1];
    if (spawned != 0) {
        error = spawned == ENOENT ? "udevadm was not found; it comes with Debian's udev package"
                                  : std::string("cannot run udevadm: ") + std::strerror(spawned);
        return {};
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // Its first line, and not a screenful of it.
        constexpr std::size_t kMaxShown = 200;
        const std::string line = complaint.substr(0, std::min(complaint.find('\n'), kMaxShown));
        error = "udevadm knows no device " + path + (line.empty() ? "" : " (" + line + ")");
        return {};
    }
    return properties;
}

UdevProperties parseUdevProperties(std::string_view text)
{
    UdevProperties properties;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::size_t equals = line.find('=');
        if (equals == 0 || equals == std::string_view::npos)
            continue;
        properties.insert_or_assign(std::string(line.substr(0, equals)),
                                    std::string(line.substr(equals + 1)));
    }
    return properties;
}

UdevRule makeUdevRule(const UdevProperties &device)
{
    const auto devname = firstOf(device, {"DEVNAME"}).second;
    const std::string shown = devname.empty() ? std::string("the device") : std::string(devname);
    const auto subsystem = firstOf(device, {"SUBSYSTEM"}).second;
    if (subsystem != "tty")
        return {{}, {}, shown + " is not a serial device"};

    const auto [vendorKey, vendor] = firstOf(device, {"ID_VENDOR_ID", "ID_USB_VENDOR_ID"});
    const auto [modelKey, model] = firstOf(device, {"ID_MODEL_ID", "ID_USB_MODEL_ID"});
    if (!isUsbId(vendor) || !isUsbId(model))
        return {{},
                {},
                shown + " is not a USB serial adapter (udev gives it no USB vendor and "
                        "product ID); the rule is for USB adapters only"};

    const auto [serialKey, serial] = firstOf(device, {"ID_SERIAL_SHORT", "ID_USB_SERIAL_SHORT"});
    const auto [interfaceKey, interface] = firstOf(device, {"ID_USB_INTERFACE_NUM"});
    const auto [pathKey, path] = firstOf(device, {"ID_PATH"});
    const auto pathTag = firstOf(device, {"ID_PATH_TAG"}).second;

    // These properties come from udev's own 60-serial.rules, so the rule sees exactly what
    // udevadm showed; ATTRS{} would have to match on one parent and could not also check the
    // interface of a multi-port chip.
    std::string match = "SUBSYSTEM==\"tty\", ENV{" + std::string(vendorKey) + "}==\"" +
                        matchValue(vendor) + "\", ENV{" + std::string(modelKey) + "}==\"" +
                        matchValue(model) + "\"";
    // udev reads a rules file line by line, and a CR in the device's name would end one.
    std::string comment = "# QN480 reader on " + commentText(shown);
    if (const std::string what = describe(device); !what.empty())
        comment += ": " + what;
    comment += " (" + std::string(vendor) + ":" + std::string(model) + ")";

    std::string name;
    if (!serial.empty()) {
        match += ", ENV{" + std::string(serialKey) + "}==\"" + matchValue(serial) + "\"";
        name = "qn480-" + deviceName(serial);
        comment += ", serial number " + commentText(serial);
        // Each port of a multi-port chip has the chip's serial number.
        if (!interface.empty()) {
            match += ", ENV{" + std::string(interfaceKey) + "}==\"" + matchValue(interface) + "\"";
            if (interface != "00")
                name += "-if" + deviceName(interface);
        }
        comment += "\n";
    } else if (!path.empty()) {
        match += ", ENV{" + std::string(pathKey) + "}==\"" + matchValue(path) + "\"";
        name = "qn480-" + deviceName(pathTag.empty() ? path : pathTag);
        comment += "\n# It has no serial number: the rule follows the USB port it is plugged "
                   "into,\n# " +
                   commentText(path) + ". Another port gives the reader no rule.\n";
    } else {
        return {
            {}, {}, shown + " has neither a serial number nor a USB port path to tell it apart"};
    }

    const std::string text = comment + match +
                             ", ENV{ID_MM_DEVICE_IGNORE}=\"1\", GROUP=\"dialout\", MODE=\"0660\", "
                             "TAG+=\"uaccess\", SYMLINK+=\"" +
                             name + "\"\n";
    return {text, name, {}};
}

} // namespace qn480
