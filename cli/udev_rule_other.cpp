// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"
#include "options.h"

#include <ostream>

// Where there is no udev: the command says so rather than being missing.
namespace qn480::cli {

int udevRuleCommand(std::string_view, Io io)
{
    io.err << "qn480ctl: udev-rule writes rules for Linux's udev, which this system does not "
              "have"
           << std::endl;
    return kExitReaderError;
}

} // namespace qn480::cli
