// SPDX-License-Identifier: GPL-3.0-or-later
#include "frame.h"

#include <algorithm>
#include <stdexcept>

namespace qn480 {

std::uint8_t xorChecksum(std::span<const std::uint8_t> bytes)
{
    std::uint8_t x = 0;
    for (std::uint8_t b : bytes)
        x ^= b;
    return x;
}

std::vector<std::uint8_t> buildRequest(std::uint8_t group, std::uint8_t code,
                                       std::span<const std::uint8_t> data)
{
    if (data.size() > static_cast<std::size_t>(kMaxRequestData))
        throw std::length_error("request data longer than the reader's buffer");
    const std::size_t len = data.size() + 4; // LEN counts the data and the four bytes before it
    std::vector<std::uint8_t> frame;
    frame.reserve(data.size() + kRequestOverhead);
    frame.push_back(kStartMark);
    frame.push_back(static_cast<std::uint8_t>(len >> 8)); // LEN, high byte first
    frame.push_back(static_cast<std::uint8_t>(len & 0xFF));
    frame.push_back(0x00); // two bytes the reader expects as zero
    frame.push_back(0x00);
    frame.push_back(group);
    frame.push_back(code);
    frame.insert(frame.end(), data.begin(), data.end());
    // Checksum over everything but the start mark.
    frame.push_back(xorChecksum(std::span(frame).subspan(1)));
    return frame;
}

void FrameAssembler::reset()
{
    m_bytes.clear();
    m_open.clear();
    m_held.reset();
    m_frame.clear();
}

bool FrameAssembler::mayBeTheAnswer(const Candidate &c, int received) const
{
    if (c.size < 0)
        return false;
    if (!m_expected || received < static_cast<int>(kIdentifiedFrame))
        return true;
    const auto at = [&](int i) {
        return m_bytes[static_cast<std::size_t>(c.start + i)];
    };
    return at(5) == m_expected->first && at(6) == m_expected->second;
}

TransactionResult FrameAssembler::take(Candidate c, Response &response)
{
    const int end = c.start + c.size;
    m_frame.assign(m_bytes.begin() + c.start, m_bytes.begin() + end);
    // Everything up to its end belongs to this frame or came before it; candidates begun
    // after it go on.
    std::erase_if(m_open, [end](const Candidate &o) { return o.start < end; });
    m_held.reset();
    if (m_open.empty()) {
        m_bytes.clear();
    } else {
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + end);
        for (Candidate &o : m_open)
            o.start -= end;
    }

    // Frames shorter than 8 bytes carry no status. In an 8-byte frame (LEN 4) byte 7 is
    // the checksum, taken as the status all the same: callers have always seen it so.
    const int size = static_cast<int>(m_frame.size());
    if (size >= 8) {
        response.Status = m_frame[7];
        response.DataLength = 0;
    }
    if (size > 9) {
        const int count = size - 9;
        std::copy_n(m_frame.begin() + 8, count, response.Data.begin());
        response.DataLength = count;
    }
    return TransactionResult::Frame;
}

std::optional<TransactionResult> FrameAssembler::feed(std::uint8_t byte, Response &response)
{
    if (byte == kStartMark)
        m_open.push_back({static_cast<int>(m_bytes.size()), 0});
    if (m_open.empty())
        return std::nullopt; // noise between frames
    m_bytes.push_back(byte);
    const int end = static_cast<int>(m_bytes.size());

    bool badCompleted = false;
    bool olderOpen = false; // a candidate begun before this one is still in progress
    for (std::size_t i = 0; i < m_open.size(); ++i) {
        Candidate &c = m_open[i];
        const int received = end - c.start;
        if (received == 3) {
            c.size = m_bytes[static_cast<std::size_t>(c.start + 1)] * 256 +
                     m_bytes[static_cast<std::size_t>(c.start + 2)] + 4;
            // Longer than any frame the reader sends (the buffer holds 1023 and a mark).
            if (c.size >= kFrameBufferSize)
                c.size = -1;
        }
        if (c.size <= 0 || received != c.size) {
            olderOpen = olderOpen || c.size >= 0;
            continue;
        }

        const auto frame = std::span(m_bytes).subspan(static_cast<std::size_t>(c.start),
                                                      static_cast<std::size_t>(c.size));
        const Candidate complete = c;
        c.size = -1; // complete: whatever it was, it is closed now
        // Checksum over everything but the start mark and itself.
        if (xorChecksum(frame.subspan(1, frame.size() - 2)) != frame.back()) {
            m_frame.assign(frame.begin(), frame.end());
            badCompleted = true;
            continue;
        }
        // A frame too short to name its command, inside one still in progress, is more
        // likely that frame's data ("AA 00 00 00" in a UID) than a frame of its own.
        if (olderOpen && frame.size() < kIdentifiedFrame)
            continue;
        if (m_filter && !m_filter(frame))
            continue;
        // Inside a frame that may still be the answer it is that frame's data (an ATS can
        // hold a whole answer): kept for the case that the outer one fails.
        const auto older = std::span(m_open).first(i);
        if (std::ranges::any_of(
                older, [&](const Candidate &o) { return mayBeTheAnswer(o, end - o.start); })) {
            if (!m_held)
                m_held = complete;
            continue;
        }
        return take(complete, response);
    }

    std::erase_if(m_open, [](const Candidate &c) { return c.size < 0; });
    if (m_held && std::ranges::none_of(m_open, [&](const Candidate &c) {
            return c.start < m_held->start && mayBeTheAnswer(c, end - c.start);
        }))
        return take(*m_held, response); // the frames around it failed
    if (m_open.empty()) {
        m_bytes.clear();
    } else if (m_open.front().start > 0) {
        // Bytes before the oldest open candidate can no longer be part of any frame (a
        // held frame lies inside it).
        const int drop = m_open.front().start;
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + drop);
        for (Candidate &c : m_open)
            c.start -= drop;
        if (m_held)
            m_held->start -= drop;
    }
    if (badCompleted && m_open.empty())
        return TransactionResult::BadChecksum;
    return std::nullopt;
}

std::optional<TransactionResult> FrameAssembler::finish(Response &response)
{
    if (!m_held)
        return std::nullopt;
    const TransactionResult result = take(*m_held, response);
    m_open.clear();
    m_bytes.clear();
    return result;
}

} // namespace qn480
