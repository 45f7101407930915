// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_settings.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qn480 {

// keypadJson()'s object laid out for people to edit: one setting per line.
std::string profileText(const nlohmann::ordered_json &report);

// How a stop signal is seen while a profile's file waits (a FIFO without a writer or
// reader, a pipe that stays silent): the handler's flag and its pipe's read end (-1: none,
// then only a file that never blocks can be read).
struct StopWatch
{
    const volatile std::sig_atomic_t &stop;
    int fd = -1;
};

// What stopped a profile's file: the file itself (it cannot be read, is no profile or is
// no place for one), or a write that failed on the way.
enum class ProfileFault {
    None,
    Refused,
    WriteFailed,
};

// Reading or writing a profile's file: its fault and one line to tell (user text in it not
// yet escaped). `stopped`: a stop signal ended the wait.
struct ProfileFile
{
    ProfileFault fault = ProfileFault::None;
    std::string message;
    bool stopped = false;
    KeypadPatch patch; // what a profile read asks for
};

// A profile is a few hundred bytes; a file this large is not one.
constexpr std::size_t kMaxProfile = 64 * 1024;

// The profile read from `path` as `text`: its patch, or why it is none.
ProfileFile profileIn(const std::string &path, std::string_view text);

// Reads the whole profile at `path` ("-": standard input) once and checks it.
ProfileFile readProfile(const std::string &path, StopWatch stop);

// Writes `text` to `path`. A regular file (or none yet) is replaced at once: a temporary
// file beside it, synced and renamed over it with the old file's mode, so that a failed
// write leaves the old file whole. A symbolic link to a file is refused rather than
// followed; a FIFO or a device (/dev/stdout too) is written directly.
ProfileFile writeProfile(const std::string &path, std::string_view text, StopWatch stop);

} // namespace qn480
