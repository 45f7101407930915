// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"
#include "options.h"
#include "text_util.h"
#include "udev_rule.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace qn480::cli {

int udevRuleCommand(std::string_view given, Io io)
{
    std::string device(given);
    if (const char *fromEnvironment = std::getenv(kDeviceVariable);
        device.empty() && fromEnvironment)
        device = fromEnvironment;
    if (device.empty())
        return tell(io.err, kExitUsage,
                    "udev-rule needs the reader's device: --device /dev/ttyUSB0");
    struct stat info
    {};
    if (::stat(device.c_str(), &info) != 0)
        return tell(io.err, kExitPortFailed,
                    "cannot read " + escapedText(device) + ": " + std::strerror(errno));

    std::string error;
    const std::string text = udevadmProperties(device, error);
    if (!error.empty())
        return tell(io.err, kExitReaderError, escapedText(error));
    const UdevRule rule = makeUdevRule(parseUdevProperties(text));
    if (!rule.error.empty())
        return tell(io.err, kExitReaderError, escapedText(rule.error));
    // The caller flushes it, and a write that failed is its failure.
    io.out << rule.text;
    // On a terminal, the next step; in a pipe the rule is already on its way.
    if (io.outFd >= 0 && ::isatty(io.outFd)) {
        io.out << std::flush; // the rule on the terminal before the steps
        io.err << "To install it:\n"
               << "  qn480ctl udev-rule --device " << escapedText(device)
               << " | sudo tee /etc/udev/rules.d/70-" << rule.name << ".rules\n"
               << "  sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=tty\n"
               << "The reader is then /dev/" << rule.name << "." << std::endl;
    }
    return kExitSuccess;
}

} // namespace qn480::cli
