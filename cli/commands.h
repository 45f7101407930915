#pragma once

#include "options.h"
#include "poll_view.h"
#include "port_list.h"

#include <csignal>
#include <ostream>
#include <vector>

namespace qn480 {
class Link;
}

namespace qn480::cli {

struct Io
{
    std::ostream &out; // results
    std::ostream &err; // status messages, failures, the trace
    // The descriptor behind `out`, if any: a poll stops when the reader of a pipe on it has
    // gone (`qn480ctl poll 14a | head -n 1`), without waiting for the next card to fail.
    int outFd = -1;
    // The time printed on card lines and the trace; empty: the system clock.
    WallClock now = {};
};

// Runs a command that talks to the reader over `link`, which holds the open port. `stop`
// is set from a signal handler (to the signal's number): a poll ends as the Stop button
// ends it, a keypad command or raw after the transaction in progress, printing nothing and
// returning 128 + the signal. Returns the exit code.
int runCommand(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop);

// `qn480ctl ports`.
int listPortsCommand(const std::vector<PortEntry> &ports, bool json, Io io);

} // namespace qn480::cli
