// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"
#include "options.h"

// Where there is no udev: the command says so rather than being missing.
namespace qn480::cli {

int udevRuleCommand(std::string_view, Io io)
{
    return tell(io.err, kExitReaderError,
                "udev-rule writes rules for Linux's udev, which this system does not have");
}

} // namespace qn480::cli
