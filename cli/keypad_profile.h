// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options.h"

#include <string>
#include <string_view>

namespace qn480::cli {

// A keypad profile: the JSON object `keypad get --json` prints, one setting per name
// (comments allowed). Reads it into the changes it asks for, sent as they are; throws
// UsageError with one line that names the field at fault. A profile may hold only some
// settings; the others are left as the reader has them.
KeypadChanges parseProfile(std::string_view text);

// The `keypad get --json` object laid out for people to edit: one setting per line.
std::string profileText(std::string_view getJson);

} // namespace qn480::cli
