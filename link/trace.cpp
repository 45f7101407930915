// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace.h"

#include <cstdio>

namespace qn480 {

std::string traceLine(TraceDirection direction, std::span<const std::uint8_t> frame,
                      std::chrono::nanoseconds elapsed)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%8lld ms ", static_cast<long long>(ms));
    std::string line = stamp;
    line += direction == TraceDirection::Request ? ">>" : "<<";
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::uint8_t byte : frame) {
        line += ' ';
        line += kDigits[byte >> 4];
        line += kDigits[byte & 0x0F];
    }
    if (direction == TraceDirection::Skipped)
        line += "  (skipped: not the answer to this request)";
    return line;
}

Link::Trace streamTrace(std::ostream &out, const Clock &clock)
{
    const auto start = clock.now();
    return [&out, &clock, start](TraceDirection direction, std::span<const std::uint8_t> frame) {
        out << traceLine(direction, frame, clock.now() - start) + '\n' << std::flush;
    };
}

} // namespace qn480
