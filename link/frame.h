#pragma once

#include "response.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qn480 {

inline constexpr std::uint8_t kStartMark = 0xAA;
// Start mark, LEN (2), two zero bytes, group, code and checksum around the data.
inline constexpr int kRequestOverhead = 8;
inline constexpr int kMaxRequestData = kFrameBufferSize - kRequestOverhead;

// Exclusive-or of the bytes, the reader's checksum.
std::uint8_t xorChecksum(std::span<const std::uint8_t> bytes);

// The request frame for a command; data longer than kMaxRequestData is refused with
// std::length_error, because the reader's buffer could not take it.
std::vector<std::uint8_t> buildRequest(std::uint8_t group, std::uint8_t code,
                                       std::span<const std::uint8_t> data);

// Assembles response frames from received bytes, one byte at a time. The protocol has no
// escaping: any 0xAA starts a new frame, even inside one.
class FrameAssembler
{
public:
    void reset();
    // Returns a result when this byte completed a frame. A good frame of at least 8 bytes
    // is written into `response` (its data from index 0, nothing beyond it cleared).
    std::optional<TransactionResult> feed(std::uint8_t byte, Response &response);
    // The bytes of the frame being received (complete after feed() returned a result).
    std::span<const std::uint8_t> frame() const
    {
        return std::span(m_frame).first(static_cast<std::size_t>(m_pos < 0 ? 0 : m_pos));
    }

private:
    std::array<std::uint8_t, kFrameBufferSize> m_frame{};
    int m_pos = -1;   // -1: not inside a frame
    int m_length = 0; // LEN announced by the frame being received
};

} // namespace qn480
