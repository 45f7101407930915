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
    m_pos = -1;
    m_length = 0;
}

std::optional<TransactionResult> FrameAssembler::feed(std::uint8_t byte, Response &response)
{
    if (byte == kStartMark)
        m_pos = 0;
    if (m_pos < 0)
        return std::nullopt;

    m_frame[static_cast<std::size_t>(m_pos++)] = byte;
    if (m_pos == kFrameBufferSize) {
        // Longer than any frame the reader sends: drop it and wait for the next start mark.
        m_pos = -1;
        return std::nullopt;
    }
    if (m_pos == 3)
        m_length = m_frame[1] * 256 + m_frame[2];
    if (m_pos != m_length + 4)
        return std::nullopt;

    // Complete. Bytes after it are still consumed, but only a new start mark can
    // complete another frame, since the position now runs past this frame's length.
    const auto body = std::span(m_frame).subspan(1, static_cast<std::size_t>(m_pos - 2));
    if (xorChecksum(body) != m_frame[static_cast<std::size_t>(m_pos - 1)])
        return TransactionResult::BadChecksum;

    // Frames shorter than 8 bytes carry no status. In an 8-byte frame (LEN 4) byte 7 is
    // the checksum, taken as the status all the same: callers have always seen it so.
    if (m_pos >= 8) {
        response.Status = m_frame[7];
        response.DataLength = 0;
    }
    if (m_pos > 9) {
        const int count = m_pos - 9;
        std::copy_n(m_frame.begin() + 8, count, response.Data.begin());
        response.DataLength = count;
    }
    return TransactionResult::Frame;
}

} // namespace qn480
