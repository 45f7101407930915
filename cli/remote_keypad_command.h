// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options.h"

#include <ostream>

namespace qn480::cli {

// keypad get, set, load and defaults with --mqtt: through the station that serves --reader,
// printed as the command prints it on a local reader; keypad load --fleet publishes the
// fleet's desired state (--clear removes it) and tells each station's answer.
int runRemoteKeypad(const Options &options, std::ostream &out, std::ostream &err);

} // namespace qn480::cli
