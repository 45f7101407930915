// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl: the QN480 bench tool's procedures for scripts and production lines.

#include "commands.h"
#include "json.h"
#include "link.h"
#include "options.h"
#include "port_list.h"
#include "process_guard.h"
#include "serial_port.h"
#include "text_util.h"
#include "udev_rule.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace qn480;
using namespace qn480::cli;

namespace {

constexpr int kStandardOutput = 1;

// A failed write of the results; the same code as any other failure a script checks for.
constexpr int kExitOutputFailed = 1;

int fail(int code, const std::string &message)
{
    // Messages cite device paths and QN480_PORTS entries, which may hold anything.
    std::cerr << "qn480ctl: " << escapedText(message) << std::endl;
    return code;
}

// Flushes the results; a write that failed (a full disk, a closed pipe) is a failure of the
// command, told in one line. A poll's reader that went away is its documented way to stop.
bool outputWritten(const Options &options)
{
    errno = 0;
    if (std::cout.flush())
        return true;
    const int error = errno; // 0 when an earlier write failed: stdio has dropped its buffer
    const bool gone = readerGone(kStandardOutput);
    if (options.command == Command::Poll && gone)
        return true;
    fail(kExitOutputFailed,
         std::string("cannot write the output: ") + (error != 0 ? std::strerror(error)
                                                     : gone     ? "its reader has gone"
                                                                : "write error"));
    return false;
}

// The exit code once the work has ended: a stop signal gives 128 + its number, except the
// Ctrl-C or SIGTERM that ends a poll as the Stop button does.
int finish(const Options &options, int code)
{
    const bool written = outputWritten(options);
    const int signal = stopSignal();
    const bool pollStop =
        options.command == Command::Poll && (signal == SIGINT || signal == SIGTERM);
    if (signal != 0 && !pollStop) {
        std::cerr << "qn480ctl: stopped by " << signalName(signal) << std::endl;
        return 128 + signal;
    }
    return written ? code : kExitOutputFailed;
}

struct Opened
{
    int code = kExitSuccess;
    std::string message;  // why it failed
    std::string device;   // the path opened, or tried
    bool missing = false; // the device is not there (yet): what --wait waits out
    bool stopped = false; // a stop signal ended the wait
};

bool isMissing(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

// Opens the port the options name, else the one QN480_DEVICE names, else the only one
// there is.
Opened openReader(const Options &options, Link &link)
{
    std::string device = options.device;
    std::string portName = options.port;
    if (device.empty() && portName.empty()) {
        const char *fromEnvironment = std::getenv(kDeviceVariable);
        const std::string named = fromEnvironment != nullptr ? fromEnvironment : "";
        (portNumberOf(named) ? portName : device) = named;
    }

    OpenFailure failure;
    if (!device.empty()) {
        auto port = openSerialDevice(device, *parseLineSettings(kReaderSettings), &failure);
        if (!port) {
            return {kExitPortFailed, "cannot open " + device + ": " + failure.reason, device,
                    isMissing(failure.error), false};
        }
        link.attach(std::move(port));
        return {kExitSuccess, {}, device, false, false};
    }

    const std::vector<PortEntry> ports = listPorts({.warn = !options.wait});
    int number = 0;
    if (!portName.empty()) {
        number = *portNumberOf(portName);
    } else if (ports.size() == 1) {
        number = ports.front().number;
        // A reader on the wrong port fails in ways that do not name the port; say it.
        if (!options.quiet) {
            std::cerr << "qn480ctl: using " << escapedText(ports.front().name) << " ("
                      << escapedText(ports.front().device) << "), the only serial port"
                      << std::endl;
        }
    } else if (ports.empty()) {
        return {kExitPortFailed, "no serial port found; connect the reader or give --device",
                "a serial port", true, false};
    } else {
        return {kExitUsage,
                "there are " + std::to_string(ports.size()) +
                    " serial ports; choose one with --port (see qn480ctl ports) or QN480_DEVICE",
                {},
                false,
                false};
    }
    const auto entry = std::find_if(ports.begin(), ports.end(),
                                    [&](const PortEntry &port) { return port.number == number; });
    const std::string path = entry != ports.end() ? entry->device : comName(number);
    if (!OpenPort(link, ports, number, kReaderSettings, &failure))
        return {kExitPortFailed, "cannot open " + comName(number) + ": " + failure.reason, path,
                isMissing(failure.error), false};
    return {kExitSuccess, {}, path, false, false};
}

// How often a missing reader is looked for with --wait.
constexpr std::chrono::milliseconds kWaitStep{250};

// Sleeps one step of waiting for the reader; false when a stop signal came.
bool waitStep()
{
    constexpr std::chrono::milliseconds kSlice{50};
    for (auto slept = std::chrono::milliseconds::zero(); slept < kWaitStep; slept += kSlice) {
        if (stopSignal() != 0)
            return false;
        std::this_thread::sleep_for(kSlice);
    }
    return stopSignal() == 0;
}

// openReader; with --wait, again and again while the device is not there, saying so once.
// `again`: the reader was there before and went away (that has been said already).
Opened openWaiting(const Options &options, Link &link, bool again)
{
    bool told = again;
    for (;;) {
        Opened opened = openReader(options, link);
        if (opened.code == kExitSuccess) {
            if (told) {
                std::cerr << "qn480ctl: " << escapedText(opened.device)
                          << (again ? " is back; going on" : " is there; going on") << std::endl;
            }
            return opened;
        }
        if (!options.wait || !opened.missing) {
            fail(opened.code, opened.message);
            return opened;
        }
        if (!told) {
            fail(opened.code, opened.message + "; waiting for it to appear (--wait)");
            told = true;
        }
        if (!waitStep()) {
            opened.code = kExitSuccess; // the stop signal decides the exit code
            opened.stopped = true;
            return opened;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything is opened: the port must never become standard output.
    openMissingStandardDescriptors();
    // Every command ends in order on these: the transaction in progress finishes, a poll
    // switches the carrier off, and the port is given back as it was found.
    const int stopPipe = catchStopSignals();
    // A closed pipe on stdout shows as a failed stream, which ends a poll cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    // udev-rule needs no reader, only what udev knows of its adapter.
    if (!args.empty() && args.front() == "udev-rule")
        return udevRuleCommand(std::span(args).subspan(1), {std::cout, std::cerr, kStandardOutput});
    Options options;
    try {
        options = parseArguments(args);
    } catch (const UsageError &error) {
        return fail(kExitUsage, error.what());
    }

    Io io{std::cout, std::cerr, kStandardOutput};
    switch (options.command) {
    case Command::Help:
        std::cout << usageText();
        return finish(options, kExitSuccess);
    case Command::Version:
        std::cout << versionText();
        return finish(options, kExitSuccess);
    case Command::Ports:
        return finish(options, listPortsCommand(listPorts(), options.json, io));
    default:
        break;
    }

    Link link;
    // A transaction waits on the port and the signal pipe at once, so a signal is seen at once.
    link.setWakeDescriptor(stopPipe, drainStopSignals);
    const Opened opened = openWaiting(options, link, false);
    if (opened.code != kExitSuccess || opened.stopped)
        return finish(options, opened.code);
    io.device = opened.device;
    if (options.wait) {
        io.reconnect = [&options, device = opened.device](Link &lost) {
            ClosePort(lost);
            std::cerr << "qn480ctl: waiting for " << escapedText(device) << " to come back (--wait)"
                      << std::endl;
            const Opened back = openWaiting(options, lost, true);
            return back.code == kExitSuccess && !back.stopped;
        };
    }
    // A signal while the port was opening: nothing has been sent yet, nothing will be.
    const int code = stopSignal() != 0 ? kExitSuccess : runCommand(options, link, io, stopSignal());
    ClosePort(link);
    return finish(options, code);
}
