// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "response.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace qn480 {

inline constexpr std::uint8_t kStartMark = 0xAA;
// Start mark, LEN (2), two zero bytes, group, code and checksum around the data.
inline constexpr int kRequestOverhead = 8;
inline constexpr int kMaxRequestData = kFrameBufferSize - kRequestOverhead;
// A response names the request it answers by its group and code, bytes 5 and 6.
inline constexpr std::size_t kIdentifiedFrame = 7;

// Exclusive-or of the bytes, the reader's checksum.
std::uint8_t xorChecksum(std::span<const std::uint8_t> bytes);

// The request frame for a command; data longer than kMaxRequestData is refused with
// std::length_error, because the reader's buffer could not take it.
std::vector<std::uint8_t> buildRequest(std::uint8_t group, std::uint8_t code,
                                       std::span<const std::uint8_t> data);

// Assembles response frames from received bytes, one byte at a time. The protocol has no
// escaping, so a 0xAA may start a frame or be a data byte inside one. Every 0xAA opens a
// candidate while the frames in progress go on; the length field and the checksum decide.
// A candidate that completes with a good checksum, and that the filter accepts, is the
// frame, unless it lies inside an earlier candidate that may still be the answer (its
// length still to come, and, once it has them, bytes 5 and 6 naming the awaited command):
// then the outer one is preferred, and the inner one is taken only when the outer fails
// (bad checksum, refused by the filter) or the input ends (finish()). So data inside a
// frame cannot pass for the answer. A candidate that completes with a bad checksum is
// reported only when no other candidate is still open, so noise before a frame cannot
// hide it.
class FrameAssembler
{
public:
    // Says whether a well-formed frame is the one awaited; one it refuses is skipped and the
    // frames around it go on being assembled.
    using Filter = std::function<bool(std::span<const std::uint8_t> frame)>;

    void reset();
    void setFilter(Filter filter) { m_filter = std::move(filter); }
    // The command whose answer is awaited: an outer candidate naming another one cannot
    // hold back a frame inside it.
    void expectAnswerTo(std::uint8_t group, std::uint8_t code) { m_expected = {group, code}; }
    // Returns a result when this byte completed a frame (or, with a bad checksum, the last
    // open candidate). A good frame of at least 8 bytes is written into `response` (its data
    // from index 0, nothing beyond it cleared).
    std::optional<TransactionResult> feed(std::uint8_t byte, Response &response);
    // No more bytes will come: a frame held back for an outer candidate that never
    // completed is taken now.
    std::optional<TransactionResult> finish(Response &response);
    // The last frame completed, good or bad (valid after feed() returned a result).
    std::span<const std::uint8_t> frame() const { return m_frame; }

private:
    struct Candidate
    {
        int start = 0; // index of its 0xAA in m_bytes
        int size = 0;  // whole frame, 0 until LEN has arrived
    };

    bool mayBeTheAnswer(const Candidate &c, int received) const;
    TransactionResult take(Candidate c, Response &response);

    std::vector<std::uint8_t> m_bytes; // from the oldest open candidate (or held frame) on
    std::vector<Candidate> m_open;
    std::optional<Candidate> m_held; // good, accepted, waiting for the candidates around it
    std::optional<std::pair<std::uint8_t, std::uint8_t>> m_expected;
    std::vector<std::uint8_t> m_frame;
    Filter m_filter;
};

} // namespace qn480
