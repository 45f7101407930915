// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace qn480 {

// A port watched from the thread's event loop; the watch ends when this is destroyed.
class PortWatch
{
public:
    virtual ~PortWatch() = default;
};

// How a wait on the port and a second descriptor ended.
enum class PortWait {
    Unsupported, // the port cannot wait so; nothing was waited
    Port,        // bytes, a loss or the time-out: the port has something to say
    Woken,       // the second descriptor became readable
};

// An open serial port as the transaction uses it. Failures of these calls are not reported
// to the transaction one by one: a lost write or read simply ends in its time-out. Only the
// loss of the device itself is told, through deviceLost(), so that the link can end at once.
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
    // True once the device is known to be gone (hang-up, EIO/ENXIO, its node removed). Sticky
    // until the port is closed. The calls above keep working (doing nothing) after a loss.
    virtual bool deviceLost() const = 0;
    // Looks for the device without reading or writing (is its node still there, is the line
    // hung up) and returns deviceLost(). Cheap enough for a timer.
    virtual bool checkDevice() = 0;

    // Like waitReadable(), for the whole `timeout` in one wait, which also ends as soon as
    // `wake` (a descriptor, on Windows an event handle's value; -1 for none) is readable. A failing
    // port waits out the time-out on `wake` alone.
    virtual PortWait waitReadableOr(std::chrono::nanoseconds /*timeout*/, int /*wake*/)
    {
        return PortWait::Unsupported;
    }
    // Calls `wake` from the thread's event loop whenever bytes may be waiting or the device
    // may have gone, until the watch is destroyed. Nothing where the port can only be
    // polled.
    virtual std::unique_ptr<PortWatch> watchReadable(std::function<void()> /*wake*/)
    {
        return nullptr;
    }
};

} // namespace qn480
