// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <span>
#include <vector>

namespace qn480 {

// Whether a column has a value for cards of `air`: the time, event, interface and UID for
// every card, the others for their interface only.
bool columnApplies(EventColumn column, AirInterface air);

// The columns a table of `events` needs, in their order: those of the interfaces the events
// hold (only the four common ones when there are none).
std::vector<EventColumn> heldColumns(std::span<const EventRecord> events);

} // namespace qn480
