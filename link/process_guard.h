// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <csignal>
#include <string>

// What every program of the tool does first: standard descriptors that cannot be taken by
// the serial port, and stop signals that end the work in order instead of killing it with
// the port raw and exclusive. POSIX only, no Qt, so that the simulator links it too.
namespace qn480 {

// Opens the null device on any of descriptors 0 to 2 that is closed. Call it before anything is
// opened: the next open would otherwise take the free number, and what the program prints
// would go to the reader.
void openMissingStandardDescriptors();

// Catches SIGINT, SIGTERM and SIGHUP. The handler only notes the first signal and writes a
// byte to a pipe; the program finishes its work in its own time. A signal that was ignored
// at start (nohup, a background job) stays ignored. Returns the pipe's read end, readable
// once a signal has come (for poll() or a QSocketNotifier); -1 when no pipe could be made,
// in which case stopSignal() still tells. On Windows, Ctrl-C and Ctrl-Break likewise, and
// the value is that of an event handle set by the first stop.
int catchStopSignals();

// For a program that runs actions and writes where it is told: SIGCHLD back to its default
// (a parent that ignored it would keep us from an action's status), SIGPIPE and SIGXFSZ
// ignored, so that a closed pipe or the file size limit fails a write, which is told,
// instead of killing the program with the port raw and exclusive. Nothing on Windows.
void setUpChildAndWriteSignals();

// The first stop signal caught, 0 while none.
const volatile std::sig_atomic_t &stopSignal();

// Empties the pipe, so that a poll() on it waits for the next signal.
void drainStopSignals();

// Whether a stop came since the last drain, on what catchStopSignals() returned (-1: never).
bool stopPending(int stopFd);

// The reader of a pipe or socket on `fd` has gone (`qn480ctl poll | head -n 1`); false
// where the system cannot tell.
bool readerGone(int fd);

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
std::string signalName(int number);

} // namespace qn480
