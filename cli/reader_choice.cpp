// SPDX-License-Identifier: GPL-3.0-or-later
// Which reader a command talks to, and whether it may guess it.
#include "command_model.h"

#include "port_list.h"

namespace qn480::cli {

ReaderChoice chooseReader(const Options &options, std::string_view fromEnvironment)
{
    ReaderChoice choice{options.device, options.port};
    if (choice.device.empty() && choice.port.empty())
        (comNumberOf(fromEnvironment) != 0 ? choice.port : choice.device) = fromEnvironment;
    // "The only serial port" of a PC is its on-board ttyS0, whatever hangs there: settings
    // and raw bytes go only where the user said.
    if (choice.device.empty() && choice.port.empty() && options.writesToReader()) {
        throw UsageError(std::string(commandRow(options.command).words) +
                         " writes to the reader, so it needs its port: --port COMnn, "
                         "--device PATH or " +
                         kDeviceVariable);
    }
    return choice;
}

} // namespace qn480::cli
