// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options.h"
#include "poll_view.h"
#include "port_list.h"
#include "port_probe.h"

#include <csignal>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
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
    // The reader's device path, to name it when it goes away.
    std::string device = {};
    // With --wait: gives up the lost port, waits for the reader to come back and opens it
    // again on the link; false when that failed or a stop signal ended the wait.
    std::function<bool(Link &)> reconnect = {};
    // The read end of the stop signals' pipe, so that a wait on a FIFO or a pipe ends at a
    // signal; -1: none.
    int stopFd = -1;
    // keypad load: loadProfile()'s profile.
    std::optional<KeypadPatch> profile = {};
    // The reader was not there when the command started and has just come: with --wait, a
    // poll it does not answer yet (still starting up) is tried again.
    bool plugged = false;
};

// Runs a command that talks to the reader over `link`, which holds the open port. `stop`
// is set from a signal handler (to the signal's number): a poll ends as the Stop button
// ends it, a reading keypad command or raw after the transaction in progress, a writing
// keypad command after its sequence of Sets (it is bounded by their time-outs, and a
// reader left half-set is worse than a late stop); each prints nothing then and returns
// 128 + the signal. A reader that goes away ends any command at once with one
// line on `err` and kExitPortFailed, the link then holding its lost port. Returns the exit
// code.
int runCommand(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop);

// `qn480ctl ports`; with a `probe`, `ports --probe`: each port marked by whether a reader
// answered it. A port that could not be probed is reported on `err`, and is no failure.
int listPortsCommand(const std::vector<PortEntry> &ports, bool json, Io io,
                     const PortProbe &probe = {});

// `qn480ctl udev-rule` for `device`, empty: the one QN480_DEVICE names. Returns the exit code.
int udevRuleCommand(std::string_view device, Io io);

// `qn480ctl uid-forms HEX`: every form of a UID typed in by hand (its words as typed), so
// that a number printed on a badge or typed by a wedge can be matched to a card without a
// reader. `json`: one JSON object. Returns the exit code.
int uidFormsCommand(std::span<const std::string_view> words, bool json, Io io);

// `qn480ctl log export FILE --xlsx OUT --csv OUT`: a card log file (poll --log, or the
// window's "Keep a log file") as a spreadsheet or CSV, without a reader or the window.
int logExportCommand(const Options &options, Io io);

// keypad get, set, load and defaults with --mqtt: through the station that serves --reader,
// printed as the command prints it on a local reader; keypad load --fleet publishes the
// fleet's desired state (--clear removes it) and tells each station's answer.
// `profile`: keypad load's, as loadProfile() read it.
int runRemoteKeypad(const Options &options, const std::optional<KeypadPatch> &profile,
                    std::ostream &out, std::ostream &err);

} // namespace qn480::cli
