// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <optional>
#include <string>
#include <string_view>

namespace qn480::cli {

// A keypad profile: the JSON object `keypad get --json` prints, one setting per name
// (comments allowed). Reads it into the patch it asks for, sent as it is; throws
// UsageError with one line that names the field at fault. A profile may hold only some
// settings; the others are left as the reader has them. Only values that `keypad set` and
// the reader both take are accepted, so that a profile fails here and not half-way.
KeypadPatch parseProfile(std::string_view text);

// The `keypad get --json` object laid out for people to edit: one setting per line.
std::string profileText(const nlohmann::ordered_json &report);

// How a stop signal is seen while a profile's file waits (a FIFO without a writer or
// reader, a pipe that stays silent): the handler's flag and its pipe's read end (-1: none,
// then only a file that never blocks can be read).
struct StopWatch
{
    const volatile std::sig_atomic_t &stop;
    int fd = -1;
};

// Reading or writing a profile's file: kExitSuccess, else the exit code and one line to
// tell (user text in it not yet escaped). `stopped`: a stop signal ended the wait.
struct ProfileFile
{
    int code = kExitSuccess;
    std::string message;
    bool stopped = false;
    KeypadPatch patch; // what a profile read asks for
};

// Reads the whole profile at `path` ("-": standard input) once and checks it.
ProfileFile readProfile(const std::string &path, StopWatch stop);

// Writes `text` to `path`. A regular file (or none yet) is replaced at once: a temporary
// file beside it, synced and renamed over it with the old file's mode, so that a failed
// write leaves the old file whole. A symbolic link to a file is refused rather than
// followed; a FIFO or a device (/dev/stdout too) is written directly. A failed write
// exits 1, as any failed output.
ProfileFile writeProfile(const std::string &path, std::string_view text, StopWatch stop);

} // namespace qn480::cli
