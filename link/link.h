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
// How long one wait for the reader's bytes lasts before the window gets its turn.
inline constexpr std::chrono::milliseconds kPollSlice{5};

enum class TraceDirection { Request, Response };

// The reader link: holds the open port and LastResponse, and runs transactions on the
// caller's thread, letting the window process its messages (the pump) while it waits.
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
    // Frames sent and complete frames received, for a bench user's trace.
    void setTrace(Trace trace) { m_trace = std::move(trace); }

    // Takes an open port; a port already held is closed first.
    void attach(std::unique_ptr<Port> port);
    // Closes (and so restores) the held port, if any. Safe while a transaction waits:
    // that transaction then finds nothing and ends by its time-out.
    void close();
    bool hasPort() const { return m_port != nullptr; }

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

    bool receive(Pending &pending);
    void finishWithoutPump(Pending &pending);

    Clock &m_clock;
    Pump m_pump;
    Trace m_trace;
    std::unique_ptr<Port> m_port;
    Response m_last;
    std::vector<Pending *> m_waiting; // transactions suspended in the pump, innermost last
    std::vector<std::uint8_t> m_chunk;
};

} // namespace qn480
