// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// `qn480ctl log export FILE --xlsx OUT --csv OUT`: a card log file (poll --log, or the
// window's "Keep a log file") as a spreadsheet or CSV, without a reader or the window.

#include <span>
#include <string_view>

namespace qn480::cli {

struct Io;

// Runs it; `args` are the words after "log". Returns the exit code.
int logCommand(std::span<const std::string_view> args, Io io);

// The command's lines for qn480ctl --help.
extern const std::string_view kLogExportUsage;

} // namespace qn480::cli
