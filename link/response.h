// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>

namespace qn480 {

// Both the request and the receive side work in buffers of this size.
inline constexpr int kFrameBufferSize = 1024;

// The parsed answer of the reader to the last transaction.
struct Response
{
    std::uint8_t Status = 0;
    std::int32_t DataLength = -1; // -1: no good frame of at least 8 bytes arrived
    std::array<std::uint8_t, kFrameBufferSize> Data{};

    void reset()
    {
        Status = 0;
        DataLength = -1;
        Data.fill(0);
    }
    // The common acceptance test of the procedures.
    bool succeeded() const { return Status == 1 && DataLength >= 0; }
};

enum class TransactionResult : int {
    NoPort = 0,      // nothing was sent
    Frame = 1,       // a frame with a correct checksum arrived
    TimeOut = 2,     // no complete frame within the time-out
    BadChecksum = 3, // the last frame completed had a wrong checksum
    DeviceLost = 4,  // the device went away (unplugged, hung up); nothing more can be sent
};

// A transaction's outcome together with its own copy of the response, so that a caller
// that lets the window run before it looks at the answer never sees another caller's.
struct Reply
{
    TransactionResult result = TransactionResult::NoPort;
    Response response;
};

} // namespace qn480
