// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// `qn480ctl log export FILE --xlsx OUT --csv OUT`: a card log file (poll --log, or the
// window's "Keep a log file") as a spreadsheet or CSV, without a reader or the window.

namespace qn480::cli {

struct Io;

struct Options;

// Runs it on the log and the outputs the options name. Returns the exit code.
int logExportCommand(const Options &options, Io io);

} // namespace qn480::cli
