// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <streambuf>
#include <string_view>

namespace qn480 {

// Standard error has one writer: each line goes out whole, newline included, with one
// write(2) under one lock, so that lines from the main thread, the log writer, the actions
// and the network thread never interleave. Retried after a signal and after a short write.
void writeErrorLine(std::string_view line);

// A stream buffer that hands whole lines to writeErrorLine, each thread's unfinished line
// kept apart until its newline. A program points std::cerr at it once, at its start.
std::streambuf &errorLineBuffer();

} // namespace qn480
