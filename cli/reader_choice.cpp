// SPDX-License-Identifier: GPL-3.0-or-later
// Which reader a command talks to, and whether it may guess it.
#include "command_model.h"

#include "port_list.h"

namespace qn480::cli {

namespace {

constexpr CommandSet kWriting = commandBit(Command::KeypadSet) |
                                commandBit(Command::KeypadDefaults) |
                                commandBit(Command::KeypadLoad) | commandBit(Command::Raw);
constexpr CommandSet kReading = kWriting | commandBit(Command::Poll) |
                                commandBit(Command::KeypadGet) | commandBit(Command::KeypadSave);

} // namespace

bool Options::needsReader() const
{
    // A keypad command with --mqtt goes through the station that serves the reader.
    return (kReading & commandBit(command)) != 0 && (command == Command::Poll || mqtt.url.empty());
}

bool Options::writesToReader() const
{
    return (kWriting & commandBit(command)) != 0;
}

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
