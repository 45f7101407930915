// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// `qn480ctl uid-forms HEX`: every form of a UID typed in by hand, so that a number printed on
// a badge or typed by a wedge can be matched to a card without a reader.

#include <span>
#include <string_view>

namespace qn480::cli {

struct Io;

// Runs it on the UID's words as typed; `json`: one JSON object. Returns the exit code.
int uidFormsCommand(std::span<const std::string_view> words, bool json, Io io);

} // namespace qn480::cli
