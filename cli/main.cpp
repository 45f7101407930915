// qn480ctl: the QN480 bench tool's procedures for scripts and production lines.

#include "commands.h"
#include "link.h"
#include "options.h"
#include "port_list.h"
#include "serial_port.h"
#include "udev_rule.h"

#include <csignal>
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

// Opens the port the options name, or the only one there is. Returns an exit code.
int openReader(const Options &options, Link &link)
{
    OpenFailure failure;
    if (!options.device.empty()) {
        auto port = openSerialDevice(options.device, *parseLineSettings(kReaderSettings), &failure);
        if (!port)
            return fail(kExitPortFailed, "cannot open " + options.device + ": " + failure.reason);
        link.attach(std::move(port));
        return kExitSuccess;
    }

    const std::vector<PortEntry> ports = listPorts();
    int number = 0;
    if (!options.port.empty()) {
        number = *portNumberOf(options.port);
    } else if (ports.size() == 1) {
        number = ports.front().number;
    } else if (ports.empty()) {
        return fail(kExitPortFailed, "no serial port found; connect the reader or give --device");
    } else {
        return fail(kExitUsage, "there are " + std::to_string(ports.size()) +
                                    " serial ports; choose one with --port (see qn480ctl ports)");
    }
    if (!OpenPort(link, ports, number, kReaderSettings, &failure))
        return fail(kExitPortFailed, "cannot open " + comName(number) + ": " + failure.reason);
    return kExitSuccess;
}

} // namespace

int main(int argc, char **argv)
{
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
