// qn480ctl: the QN480 bench tool's procedures for scripts and production lines.

#include "commands.h"
#include "json.h"
#include "link.h"
#include "options.h"
#include "port_list.h"
#include "serial_port.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

using namespace qn480;
using namespace qn480::cli;

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onStopSignal(int)
{
    g_stop = 1;
}

// Ctrl-C (or a kill) asks a poll to stop as the Stop button does: the pass finishes and
// the carrier goes off. A second one ends the program at once.
void catchStopSignals()
{
    struct sigaction action
    {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int fail(int code, const std::string &message)
{
    std::cerr << "qn480ctl: " << message << std::endl;
    return code;
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
    // A closed pipe on stdout shows as a failed stream, which ends a poll cleanly.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string_view> args(argv + 1, argv + argc);
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
        return kExitSuccess;
    case Command::Version:
        std::cout << versionText();
        return kExitSuccess;
    case Command::Ports:
        return listPortsCommand(listPorts(), options.json, io);
    default:
        break;
    }

    Link link;
    if (const int code = openReader(options, link); code != kExitSuccess)
        return code;
    if (options.command == Command::Poll)
        catchStopSignals();
    const int code = runCommand(options, link, io, g_stop);
    ClosePort(link);
    return code;
}
