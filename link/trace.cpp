// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace.h"

#include <ctime>

namespace qn480 {

std::string traceTimestamp(std::chrono::system_clock::time_point time, bool utc)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
    const auto seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm parts{};
    if (utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    char text[40];
    const std::size_t length =
        std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
    const long long milli = ((ms.count() % 1000) + 1000) % 1000;
    std::string out(text, length);
    out += '.';
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    return utc ? out + "Z" : out;
}

std::string traceLine(TraceDirection direction, std::span<const std::uint8_t> frame,
                      std::chrono::system_clock::time_point when)
{
    std::string line = traceTimestamp(when);
    line += direction == TraceDirection::Request ? " >>" : " <<";
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

Link::Trace streamTrace(std::ostream &out, WallTime now)
{
    return [&out, now = std::move(now)](TraceDirection direction,
                                        std::span<const std::uint8_t> frame) {
        out << traceLine(direction, frame, now()) + '\n' << std::flush;
    };
}

} // namespace qn480
