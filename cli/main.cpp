// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl: the QN480 bench tool's procedures for scripts and production lines.

#include "commands.h"
#include "error_line.h"
#include "keypad_commands.h"
#include "link.h"
#include "options.h"
#include "port_list.h"
#include "port_probe.h"
#include "process_guard.h"
#include "serial_port.h"
#include "text_util.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
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
    return tell(std::cerr, code, escapedText(message));
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
        std::cerr << kProgram << "stopped by " << signalName(signal) << std::endl;
        return 128 + signal;
    }
    return written ? code : kExitOutputFailed;
}

struct Opened
{
    int code = kExitSuccess;
    std::string message;  // why it failed
    std::string device;   // the path opened, or tried
    bool missing = false; // the device is not there (yet)
    bool stopped = false; // a stop signal ended the wait
    bool waited = false;  // it was not there at first: a reader just plugged in
};

bool isMissing(int error)
{
    return error == ENOENT || error == ENODEV || error == ENXIO;
}

// Opens the port the options name, else the one QN480_DEVICE names, else the only one
// there is.
Opened openReader(const Options &options, Link &link)
{
    const char *fromEnvironment = std::getenv(kDeviceVariable);
    ReaderChoice choice;
    try {
        choice = chooseReader(options, fromEnvironment != nullptr ? fromEnvironment : "");
    } catch (const UsageError &error) {
        return {kExitUsage, error.what(), {}};
    }
    const std::string &device = choice.device;
    const std::string &portName = choice.port;

    OpenFailure failure;
    if (!device.empty()) {
        auto port = openSerialDevice(device, *parseLineSettings(kReaderSettings), &failure);
        if (!port) {
            return {kExitPortFailed, "cannot open " + device + ": " + failure.reason, device,
                    isMissing(failure.error)};
        }
        link.attach(std::move(port));
        return {kExitSuccess, {}, device};
    }

    const std::vector<PortEntry> ports = listPorts({.warn = !options.wait});
    int number = 0;
    if (!portName.empty()) {
        number = comNumberOf(portName);
    } else if (ports.size() == 1) {
        number = ports.front().number;
        // A reader on the wrong port fails in ways that do not name the port; say it.
        if (!options.quiet) {
            std::cerr << kProgram << "using " << escapedText(ports.front().name) << " ("
                      << escapedText(ports.front().device) << "), the only serial port"
                      << std::endl;
        }
    } else if (ports.empty()) {
        return {kExitPortFailed, "no serial port found; connect the reader or give --device",
                "a serial port", true};
    } else {
        return {kExitUsage,
                "there are " + std::to_string(ports.size()) +
                    " serial ports; choose one with --port (see qn480ctl ports) or QN480_DEVICE",
                {}};
    }
    const auto entry = std::find_if(ports.begin(), ports.end(),
                                    [&](const PortEntry &port) { return port.number == number; });
    const std::string path = entry != ports.end() ? entry->device : comName(number);
    if (!OpenPort(link, ports, number, kReaderSettings, &failure))
        return {kExitPortFailed, "cannot open " + comName(number) + ": " + failure.reason, path,
                isMissing(failure.error) || entry == ports.end()};
    return {kExitSuccess, {}, path};
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

// openReader; with --wait, again and again until the port opens. A re-plugged adapter's
// node can be missing, refuse us until udev has set its group, be held by a prober or fail
// with EIO for a moment: every reason is waited out, and each new one told once, so that
// one that never ends (not in dialout) stays visible. Only a usage error ends the wait.
// `again`: the reader was there before and went away (that has been said already).
Opened openWaiting(const Options &options, Link &link, bool again)
{
    std::set<std::string> told;
    bool onlyMissing = true;
    for (bool first = true;; first = false) {
        Opened opened = openReader(options, link);
        if (opened.code == kExitSuccess) {
            if (!told.empty() || again) {
                std::cerr << kProgram << escapedText(opened.device)
                          << (again         ? " is back; going on"
                              : onlyMissing ? " is there; going on"
                                            : " is open; going on")
                          << std::endl;
            }
            opened.waited = !first || again;
            return opened;
        }
        if (!options.wait || opened.code == kExitUsage) {
            fail(opened.code, opened.message);
            return opened;
        }
        onlyMissing = onlyMissing && opened.missing;
        // Gone again is what the line before this wait said.
        const bool said = again && opened.missing;
        if (!said && told.insert(opened.message).second) {
            fail(opened.code,
                 opened.message + (opened.missing ? "; waiting for it to appear (--wait)"
                                                  : "; waiting until it can be opened (--wait)"));
        }
        if (!waitStep()) {
            opened.code = kExitSuccess; // the stop signal decides the exit code
            opened.stopped = true;
            return opened;
        }
    }
}

// The link that holds the open port, for a std::terminate that comes while it is open.
Link *g_openLink = nullptr;

// An exception that escaped a noexcept function or a destructor ends the program without
// unwinding: the port is given back here, or it would stay raw and exclusive.
[[noreturn]] void onTerminate()
{
    if (Link *link = std::exchange(g_openLink, nullptr))
        link->close();
    std::string what = "unknown exception";
    try {
        if (const std::exception_ptr current = std::current_exception())
            std::rethrow_exception(current);
    } catch (const std::exception &error) {
        what = error.what();
    } catch (...) {
    }
    std::cerr << kProgram << "unexpected failure: " << escapedText(what) << std::endl;
    std::abort();
}

int run(const std::vector<std::string_view> &args, int stopFd)
{
    Options options;
    try {
        options = parseArguments(args);
    } catch (const UsageError &error) {
        return fail(kExitUsage, error.what());
    }

    Io io{std::cout, std::cerr, kStandardOutput};
    io.stopFd = stopFd;
    switch (options.command) {
    case Command::Help:
        std::cout << usageText(options.helpTopic);
        return finish(options, kExitSuccess);
    case Command::Version:
        std::cout << versionText();
        return finish(options, kExitSuccess);
    case Command::Ports:
        return finish(options, listPortsCommand(listPorts(), options.json, io,
                                                options.probe ? probePort : PortProbe{}));
    // These need no reader: what udev knows of an adapter, a UID typed in, a card log.
    case Command::UdevRule:
        return finish(options, udevRuleCommand(options.device, io));
    case Command::UidForms: {
        const std::vector<std::string_view> words(options.uidWords.begin(), options.uidWords.end());
        return finish(options, uidFormsCommand(words, options.json, io));
    }
    case Command::LogExport:
        return finish(options, logExportCommand(options, io));
    default:
        break;
    }

    // --fleet --clear sends no profile.
    if (options.command == Command::KeypadLoad && !options.clear) {
        int code = kExitSuccess;
        if (!(io.profile = loadProfile(options, std::cerr, stopFd, code)))
            return finish(options, code);
    }
    if (!options.needsReader())
        return finish(options, runRemoteKeypad(options, io.profile, std::cout, std::cerr));

    Link link;
    // A transaction waits on the port and the signal pipe at once, so a signal is seen at once.
    link.setWakeDescriptor(stopFd, drainStopSignals);
    // For onTerminate, while the port may be open.
    g_openLink = &link;
    const std::unique_ptr<Link, void (*)(Link *)> held(&link, [](Link *) { g_openLink = nullptr; });
    const Opened opened = openWaiting(options, link, false);
    if (opened.code != kExitSuccess || opened.stopped)
        return finish(options, opened.code);
    io.device = opened.device;
    io.plugged = opened.waited;
    if (options.wait) {
        io.reconnect = [&options, device = opened.device](Link &lost) {
            // A reader that is there but does not answer yet is told of by the command.
            const bool gone = lost.deviceLost();
            if (gone) {
                std::cerr << kProgram << "waiting for " << escapedText(device)
                          << " to come back (--wait)" << std::endl;
            }
            ClosePort(lost);
            const Opened back = openWaiting(options, lost, gone);
            return back.code == kExitSuccess && !back.stopped;
        };
    }
    // A signal while the port was opening: nothing has been sent yet, nothing will be.
    const int code = stopSignal() != 0 ? kExitSuccess : runCommand(options, link, io, stopSignal());
    ClosePort(link);
    return finish(options, code);
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything is opened: the port must never become standard output.
    openMissingStandardDescriptors();
    // One writer for standard error, whichever thread a line comes from.
    std::cerr.rdbuf(&errorLineBuffer());
    setUpChildAndWriteSignals();
    // Every command ends in order on these: the transaction in progress finishes, a poll
    // switches the carrier off, and the port is given back as it was found.
    const int stopFd = catchStopSignals();
    std::set_terminate(onTerminate);

    // Whatever is thrown, the stack unwinds to here, and the link, closing on the way,
    // gives the port back as it was found.
    try {
        return run(std::vector<std::string_view>(argv + 1, argv + argc), stopFd);
    } catch (const std::exception &error) {
        return fail(kExitReaderError, std::string("unexpected failure: ") + error.what());
    } catch (...) {
        return fail(kExitReaderError, "unexpected failure");
    }
}
