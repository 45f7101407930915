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
    m_frame.clear();
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
    for (Candidate &c : m_open) {
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

        m_frame.assign(frame.begin(), frame.end());
        // Everything up to here belongs to this frame or came before it.
        m_bytes.clear();
        m_open.clear();

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

    std::erase_if(m_open, [](const Candidate &c) { return c.size < 0; });
    if (m_open.empty()) {
        m_bytes.clear();
    } else if (m_open.front().start > 0) {
        // Bytes before the oldest open candidate can no longer be part of any frame.
        const int drop = m_open.front().start;
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + drop);
        for (Candidate &c : m_open)
            c.start -= drop;
    }
    if (badCompleted && m_open.empty())
        return TransactionResult::BadChecksum;
    return std::nullopt;
}

} // namespace qn480
