// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clock.h"
#include "port.h"
#include "response.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace qn480 {

inline constexpr std::chrono::milliseconds kResponseTimeout{500};
// How long one wait for the reader's bytes lasts before the pump gets its turn, where the
// link cannot wait on the port and the owner's events at once.
inline constexpr std::chrono::milliseconds kPollSlice{5};

// Skipped: a well-formed frame that is not the answer awaited (an echo, a late answer).
enum class TraceDirection { Request, Response, Skipped };

// The reader link: holds the open port and LastResponse, and runs transactions on the
// caller's thread, letting the window process its messages (the pump) while it waits.
//
// How it waits: handling the thread's events until the port or a deadline timer wakes it
// (useEventLoop), in one wait on the port and a wake descriptor up to the deadline
// (setWakeDescriptor; also whenever there is no pump to run), or, where the port cannot
// be watched so, in kPollSlice slices with the pump run after each.
//
// A handler run from the pump may start a transaction of its own while another waits.
// The inner call first finishes the waiting one (until its frame completes or its
// deadline), keeps that result for it, then runs its own; so neither caller loses or sees
// the other's response, and the outer call still returns its own.
class Link
{
public:
    using Pump = std::function<void()>;
    using Trace = std::function<void(TraceDirection, std::span<const std::uint8_t>)>;

    explicit Link(Clock &clock = steadyClock());
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    void setPump(Pump pump) { m_pump = std::move(pump); }
    // Waits in the thread's event loop instead of running the pump in slices: the window's
    // events are handled as they come, and the wait ends when the port has something or
    // the deadline passes.
    void useEventLoop(bool on) { m_eventLoop = on; }
    // Waits on the port and `fd` at once; when `fd` becomes readable, `drain` empties it and
    // the pump runs (qn480ctl's stop-signal pipe). -1 for none.
    void setWakeDescriptor(int fd, std::function<void()> drain)
    {
        m_wakeFd = fd;
        m_drainWake = std::move(drain);
    }
    // Frames sent and complete frames received, for a bench user's trace.
    void setTrace(Trace trace) { m_trace = std::move(trace); }
    // Called once per port, from inside the transaction that first finds the device gone.
    // The port stays attached (closing restores it) until the owner calls close().
    void setLossHandler(std::function<void()> handler) { m_onLoss = std::move(handler); }

    // Takes an open port; a port already held is closed first.
    void attach(std::unique_ptr<Port> port);
    // Closes (and so restores) the held port, if any. Safe while a transaction waits:
    // that transaction then finds nothing and ends by its time-out.
    void close();
    bool hasPort() const { return m_port != nullptr; }
    // The held port's device is gone (unplugged, hung up): every transaction now ends at
    // once with DeviceLost and sends nothing.
    bool deviceLost() const;
    // Looks for the device without a transaction (its node, a hang-up); reports a loss as a
    // transaction would. For owners that watch an idle port.
    bool checkDevice();

    TransactionResult ExecuteCommand(std::uint8_t group, std::uint8_t code,
                                     const std::uint8_t *data, int count);
    const Response &LastResponse() const { return m_last; }

    // ExecuteCommand with a copy of its own response.
    Reply transact(std::uint8_t group, std::uint8_t code, std::span<const std::uint8_t> data = {});

    // Lets the window process its pending messages once.
    void processMessages();
    Clock &clock() const { return m_clock; }

private:
    struct Pending;
    enum class Waited { InSlice, OnPort, OnWake, InEventLoop };

    bool receive(Pending &pending);
    void wait(Pending &pending, bool pump);
    Waited waitOnce(Pending &pending, bool pump, std::chrono::nanoseconds left);
    bool waitInEventLoop(Pending &pending, std::chrono::nanoseconds left);
    void finishWithoutPump(Pending &pending);
    TransactionResult lost();

    Clock &m_clock;
    Pump m_pump;
    bool m_eventLoop = false;
    int m_wakeFd = -1;
    std::function<void()> m_drainWake;
    Trace m_trace;
    std::function<void()> m_onLoss;
    bool m_lossReported = false;
    std::unique_ptr<Port> m_port;
    Response m_last;
    std::vector<Pending *> m_waiting; // transactions suspended in the pump, innermost last
    std::vector<std::uint8_t> m_chunk;
};

} // namespace qn480
