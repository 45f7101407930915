// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_record.h"
#include "card_run.h"

#include <string_view>

namespace qn480 {

// What a card run says while it goes on and when it ends: the same words on the window's
// status line and on qn480ctl's standard error. No text carries a leading blank; the
// status line puts its own in front.

// A step about to go out: the interface's set-up, the carrier switched on or off. Empty for
// every other step, which has nothing to say.
std::string_view runStepText(AirInterface air, CardStep step);

// What stands after a run the reader refused: its message for the refusing status or, when
// the status has none, the set-up's own failure (a carrier that did not come on has none).
// Empty for every other end.
std::string_view runEndText(AirInterface air, const RunOutcome &outcome);

} // namespace qn480
