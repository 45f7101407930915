// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "link.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace qn480 {

using WallTime = std::function<std::chrono::system_clock::time_point()>;

// The forms a time to the millisecond is written in.
enum class TimestampForm {
    Local,    // "2026-03-01 14:05:09.042": what trace and text lines begin with
    Utc,      // "2026-03-01T13:05:09.042Z": ISO 8601 in UTC, as JSON lines carry it
    LocalIso, // "2026-03-01T14:05:09.042+01:00": local with its offset, for tables and CSV
};

std::string traceTimestamp(std::chrono::system_clock::time_point time,
                           TimestampForm form = TimestampForm::Local);

// One line of a frame trace: the time, the direction (>> to the reader, << from it) and the
// frame in hexadecimal, as "2026-03-01 14:05:09.042 >> AA 00 04 00 00 00 30 34". A skipped
// frame (not the answer awaited) says so at the end.
std::string traceLine(TraceDirection direction, std::span<const std::uint8_t> frame,
                      std::chrono::system_clock::time_point when);

// A Link trace that writes those lines to `out`, timed by `now`. Each line goes out in one
// write, so it stays whole next to other output on stderr.
Link::Trace streamTrace(std::ostream &out, WallTime now = std::chrono::system_clock::now);

} // namespace qn480
