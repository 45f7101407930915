// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clock.h"
#include "link.h"

#include <chrono>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>

namespace qn480 {

// One line of a frame trace: milliseconds since the trace began, the direction (>> to the
// reader, << from it) and the frame in hexadecimal, as "     125 ms >> AA 00 04 00 00 00 30 34".
std::string traceLine(TraceDirection direction, std::span<const std::uint8_t> frame,
                      std::chrono::nanoseconds elapsed);

// A Link trace that writes those lines to `out`, timed on `clock` from the moment it is made.
// Each line goes out in one write, so it stays whole next to other output on stderr.
Link::Trace streamTrace(std::ostream &out, const Clock &clock);

} // namespace qn480
