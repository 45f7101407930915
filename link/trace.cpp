// SPDX-License-Identifier: GPL-3.0-or-later
#include "trace.h"

#include "text_util.h"

#include <ctime>

namespace qn480 {

std::string traceTimestamp(std::chrono::system_clock::time_point time, TimestampForm form)
{
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time).time_since_epoch();
    const auto whole = std::chrono::floor<std::chrono::seconds>(ms);
    const auto seconds = static_cast<std::time_t>(whole.count());
    std::tm parts{};
    if (form == TimestampForm::Utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    char text[64];
    std::size_t length = std::strftime(
        text, sizeof text, form == TimestampForm::Local ? "%Y-%m-%d %H:%M:%S" : "%Y-%m-%dT%H:%M:%S",
        &parts);
    const long long milli = (ms - whole).count();
    std::string out(text, length);
    out += '.';
    out += static_cast<char>('0' + milli / 100);
    out += static_cast<char>('0' + milli / 10 % 10);
    out += static_cast<char>('0' + milli % 10);
    if (form == TimestampForm::Utc)
        return out + "Z";
    if (form == TimestampForm::LocalIso) {
        // "+0100" as "+01:00"
        length = std::strftime(text, sizeof text, "%z", &parts);
        const std::string_view offset(text, length);
        if (offset.size() == 5)
            out.append(offset.substr(0, 3)).append(":").append(offset.substr(3));
        else
            out.append(offset);
    }
    return out;
}

std::string traceLine(TraceDirection direction, std::span<const std::uint8_t> frame,
                      std::chrono::system_clock::time_point when)
{
    std::string line = traceTimestamp(when);
    line += direction == TraceDirection::Request ? " >>" : " <<";
    if (!frame.empty())
        line += ' ' + hexText(frame, " ");
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
