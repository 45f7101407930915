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

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <unistd.h>

using namespace qn480;
using namespace qn480::cli;

namespace {

// A failed write of the results; the same code as any other failure a script checks for.
constexpr int kExitOutputFailed = 1;

int fail(int code, const std::string &message)
{
    // Messages cite device paths and QN480_PORTS entries, which may hold anything.
    std::cerr << "qn480ctl: " << escapedText(message) << std::endl;
    return code;
}

// The reader of a pipe or socket on `fd` has gone.
bool readerGone(int fd)
{
    pollfd pfd{fd, 0, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

// Flushes the results; a write that failed (a full disk, a closed pipe) is a failure of the
// command, told in one line. A poll's reader that went away is its documented way to stop.
bool outputWritten(const Options &options)
{
    errno = 0;
    if (std::cout.flush())
        return true;
    const int error = errno; // 0 when an earlier write failed: stdio has dropped its buffer
    const bool gone = readerGone(STDOUT_FILENO);
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

// Opens the port the options name, else the one QN480_DEVICE names, else the only one
// there is. Returns an exit code.
int openReader(const Options &options, Link &link)
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
            return fail(kExitPortFailed,
                        "cannot open " + safeText(device) + ": " + safeText(failure.reason));
        }
        link.attach(std::move(port));
        return kExitSuccess;
    }

    const std::vector<PortEntry> ports = listPorts();
    int number = 0;
    if (!portName.empty()) {
        number = *portNumberOf(portName);
    } else if (ports.size() == 1) {
        number = ports.front().number;
        // A reader on the wrong port fails in ways that do not name the port; say it.
        if (!options.quiet) {
            std::cerr << "qn480ctl: using " << safeText(ports.front().name) << " ("
                      << safeText(ports.front().device) << "), the only serial port" << std::endl;
        }
    } else if (ports.empty()) {
        return fail(kExitPortFailed, "no serial port found; connect the reader or give --device");
    } else {
        return fail(kExitUsage, "there are " + std::to_string(ports.size()) +
                                    " serial ports; choose one with --port (see qn480ctl ports) "
                                    "or QN480_DEVICE");
    }
    if (!OpenPort(link, ports, number, kReaderSettings, &failure))
        return fail(kExitPortFailed,
                    "cannot open " + comName(number) + ": " + safeText(failure.reason));
    return kExitSuccess;
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything is opened: the port must never become standard output.
    openMissingStandardDescriptors();
    // Every command ends in order on these: the transaction in progress finishes, a poll
    // switches the carrier off, and the port is given back as it was found.
    catchStopSignals();
    // A closed pipe on stdout shows as a failed stream, which ends a poll cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    // udev-rule needs no reader, only what udev knows of its adapter.
    if (!args.empty() && args.front() == "udev-rule")
        return udevRuleCommand(std::span(args).subspan(1), {std::cout, std::cerr, STDOUT_FILENO});
    Options options;
    try {
        options = parseArguments(args);
    } catch (const UsageError &error) {
        return fail(kExitUsage, error.what());
    }

    Io io{std::cout, std::cerr, STDOUT_FILENO};
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
    if (const int code = openReader(options, link); code != kExitSuccess)
        return finish(options, code);
    // A signal while the port was opening: nothing has been sent yet, nothing will be.
    const int code = stopSignal() != 0 ? kExitSuccess : runCommand(options, link, io, stopSignal());
    ClosePort(link);
    return finish(options, code);
}
