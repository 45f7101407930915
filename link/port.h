#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace qn480 {

// An open serial port as the transaction uses it. Failures of these calls are not reported
// to the transaction: a lost write or read simply ends in its time-out.
class Port
{
public:
    virtual ~Port() = default;

    // Drops everything in the transmit and receive queues.
    virtual void purge() = 0;
    virtual void write(std::span<const std::uint8_t> bytes) = 0;
    // Number of received bytes waiting, or -1 when the port cannot tell.
    virtual int queued() = 0;
    // Reads up to bytes.size() waiting bytes without blocking; returns the count, -1 on error.
    virtual int read(std::span<std::uint8_t> bytes) = 0;
    // Returns when bytes are waiting or `slice` has passed, whichever is first. A port that
    // is hung up or failing must still take the whole slice, never return at once.
    virtual void waitReadable(std::chrono::nanoseconds slice) = 0;
};

} // namespace qn480
