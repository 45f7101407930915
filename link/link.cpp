// SPDX-License-Identifier: GPL-3.0-or-later
#include "link.h"

#include "frame.h"
#include "qt_services.h"

#include <algorithm>

namespace qn480 {

// A transaction in progress. It lives on the stack of its ExecuteCommand call.
struct Link::Pending
{
    FrameAssembler assembler;
    Response response;
    std::chrono::nanoseconds start{};
    std::optional<TransactionResult> result;
    // Set while it waits in an event loop: drops its watch of the port and ends the loop.
    std::function<void()> interrupt;
};

Link::Link(Clock &clock)
    : m_clock(clock)
    , m_chunk(kFrameBufferSize)
{}

Link::~Link()
{
    close();
}

void Link::attach(std::unique_ptr<Port> port)
{
    close();
    m_port = std::move(port);
    m_lossReported = false;
}

void Link::close()
{
    // A wait that watches the port has to let go of it before it closes.
    for (Pending *waiting : m_waiting) {
        if (waiting->interrupt)
            waiting->interrupt();
    }
    m_port.reset();
}

void Link::processMessages()
{
    if (m_pump)
        m_pump();
}

Reply Link::transact(std::uint8_t group, std::uint8_t code, std::span<const std::uint8_t> data)
{
    Reply reply;
    reply.result = ExecuteCommand(group, code, data.data(), static_cast<int>(data.size()));
    reply.response = m_last;
    return reply;
}

TransactionResult Link::ExecuteCommand(std::uint8_t group, std::uint8_t code,
                                       const std::uint8_t *data, int count)
{
    // A transaction suspended in the pump below us would lose its answer to our purge:
    // let it have its frame first.
    for (Pending *waiting : m_waiting) {
        // Its loop ends once we return to it; its watch goes now, before ours.
        if (waiting->interrupt)
            waiting->interrupt();
        if (!waiting->result)
            finishWithoutPump(*waiting);
    }

    m_last.reset();
    if (!m_port)
        return TransactionResult::NoPort;
    if (m_port->deviceLost())
        return lost(); // nothing more goes to a device that is gone

    const auto request = buildRequest(
        group, code, std::span(data, data ? static_cast<std::size_t>(std::max(count, 0)) : 0));
    m_port->purge();
    m_port->write(request);
    if (m_trace)
        m_trace(TraceDirection::Request, request);

    Pending me;
    me.start = m_clock.now();
    me.assembler.expectAnswerTo(group, code);
    me.assembler.setFilter([this, &request, group, code](std::span<const std::uint8_t> frame) {
        // An adapter that echoes the line (RS-485, some USB bridges) hands back our request.
        const bool echo = std::ranges::equal(frame, request);
        // The reader answers with the request's group and code in bytes 5 and 6; a frame
        // with others is a late answer to an earlier command, or a stranger's. One too short
        // to carry them is taken: it carries no status either, so no caller can take it for
        // success.
        const bool ours =
            !echo && (frame.size() < kIdentifiedFrame || (frame[5] == group && frame[6] == code));
        if (!ours && m_trace)
            m_trace(TraceDirection::Skipped, frame);
        return ours;
    });
    m_waiting.push_back(&me);
    struct Unregister
    {
        std::vector<Pending *> &waiting;
        ~Unregister() { waiting.pop_back(); }
    } unregister{m_waiting};

    wait(me, true);
    m_last = me.response;
    if (*me.result == TransactionResult::DeviceLost)
        return lost();
    return *me.result;
}

void Link::wait(Pending &pending, bool pump)
{
    while (!receive(pending)) {
        // One look at the clock a round: the look that finds the deadline passed ends the
        // transaction, with no wait after it.
        const std::chrono::nanoseconds left = pending.start + kResponseTimeout - m_clock.now();
        if (left < std::chrono::nanoseconds::zero()) {
            // A frame held back for one around it that never completed is the answer after all.
            if (auto held = pending.assembler.finish(pending.response)) {
                pending.result = held;
                if (m_trace)
                    m_trace(TraceDirection::Response, pending.assembler.frame());
                return;
            }
            // A vanished device node says why nothing came.
            if (m_port && m_port->checkDevice())
                pending.result = TransactionResult::DeviceLost;
            else
                pending.result = TransactionResult::TimeOut;
            return;
        }
        const Waited waited = waitOnce(pending, pump, left);
        if (m_port && m_port->deviceLost()) {
            pending.result = TransactionResult::DeviceLost;
            return;
        }
        // An event loop has handled the window's events already.
        if (pump && (waited == Waited::InSlice || waited == Waited::OnWake))
            processMessages();
        if (pending.result)
            return; // a transaction started from the pump or the loop finished ours
    }
}

Link::Waited Link::waitOnce(Pending &pending, bool pump, std::chrono::nanoseconds left)
{
    // Right at the deadline one more short wait, after which the time-out has passed.
    left = std::max<std::chrono::nanoseconds>(left, std::chrono::milliseconds(1));
    const bool pumping = pump && m_pump;
    if (pumping && m_eventLoop && waitInEventLoop(pending, left))
        return Waited::InEventLoop;
    const bool live = m_port && !m_port->deviceLost();
    // With nothing to run in between, or a descriptor that says when to run it, one wait.
    if (live && (!pumping || m_wakeFd >= 0)) {
        switch (m_port->waitReadableOr(left, pumping ? m_wakeFd : -1)) {
        case PortWait::Port:
            return Waited::OnPort;
        case PortWait::Woken:
            if (m_drainWake)
                m_drainWake();
            return Waited::OnWake;
        case PortWait::Unsupported:
            break;
        }
    }
    if (live)
        m_port->waitReadable(kPollSlice);
    else
        m_clock.sleep(kPollSlice); // closed while we waited: just let the time-out run
    return Waited::InSlice;
}

bool Link::waitInEventLoop(Pending &pending, std::chrono::nanoseconds left)
{
    // The timer runs on real time, and the thread needs an event loop of its own.
    const QtServices &qt = qtServices();
    if (&m_clock != &steadyClock() || !qt.hasEventLoop || !qt.hasEventLoop())
        return false;
    bool woken = false;
    std::unique_ptr<PortWatch> watch;
    if (m_port) {
        // The answer is taken in as its bytes arrive, by the watch itself: one watch and one
        // timer for the whole answer rather than one of each for every byte of it, whose
        // setting up the window's pass period paid for.
        watch = m_port->watchReadable([this, &pending, &woken] {
            if (receive(pending) || !m_port || m_port->deviceLost())
                woken = true;
        });
        if (!watch)
            return false;
    }
    // A closed port leaves the deadline alone to end the wait.
    pending.interrupt = [&watch, &woken] {
        watch.reset();
        woken = true;
    };
    qt.runEventLoop(left, woken);
    pending.interrupt = nullptr;
    return true;
}

TransactionResult Link::lost()
{
    if (!m_lossReported) {
        m_lossReported = true;
        if (m_onLoss)
            m_onLoss();
    }
    return TransactionResult::DeviceLost;
}

bool Link::deviceLost() const
{
    return m_port && m_port->deviceLost();
}

bool Link::checkDevice()
{
    if (!m_port)
        return false;
    if (m_port->checkDevice()) {
        lost();
        return true;
    }
    return false;
}

bool Link::receive(Pending &pending)
{
    if (!m_port || m_port->deviceLost())
        return false;
    const int queued = m_port->queued();
    if (queued <= 0)
        return false;
    // One chunk at most; the rest stays queued for the next round.
    const int wanted = std::min(queued, kFrameBufferSize);
    const int got = m_port->read(std::span(m_chunk).first(static_cast<std::size_t>(wanted)));
    for (int i = 0; i < got; ++i) {
        // The last frame completed in the chunk decides the result.
        if (auto result =
                pending.assembler.feed(m_chunk[static_cast<std::size_t>(i)], pending.response)) {
            pending.result = result;
            if (m_trace)
                m_trace(TraceDirection::Response, pending.assembler.frame());
        }
    }
    return pending.result.has_value();
}

void Link::finishWithoutPump(Pending &pending)
{
    // No pump here: the window already runs the handler that called us.
    wait(pending, false);
}

} // namespace qn480
