#include "link.h"

#include "frame.h"

#include <algorithm>

namespace qn480 {

// A transaction in progress. It lives on the stack of its ExecuteCommand call.
struct Link::Pending
{
    FrameAssembler assembler;
    Response response;
    std::chrono::nanoseconds start{};
    std::optional<TransactionResult> result;
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
}

void Link::close()
{
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
        if (!waiting->result)
            finishWithoutPump(*waiting);
    }

    m_last.reset();
    if (!m_port)
        return TransactionResult::NoPort;

    const auto request = buildRequest(
        group, code, std::span(data, data ? static_cast<std::size_t>(std::max(count, 0)) : 0));
    m_port->purge();
    m_port->write(request);
    if (m_trace)
        m_trace(TraceDirection::Request, request);

    Pending me;
    me.start = m_clock.now();
    m_waiting.push_back(&me);
    struct Unregister
    {
        std::vector<Pending *> &waiting;
        ~Unregister() { waiting.pop_back(); }
    } unregister{m_waiting};

    while (!receive(me)) {
        if (m_port)
            m_port->waitReadable(kPollSlice);
        else
            m_clock.sleep(kPollSlice); // closed while we waited: just let the time-out run
        processMessages();
        if (me.result)
            break; // a transaction started from the pump finished ours
        if (m_clock.now() - me.start > kResponseTimeout) {
            me.result = TransactionResult::TimeOut;
            break;
        }
    }
    m_last = me.response;
    return *me.result;
}

bool Link::receive(Pending &pending)
{
    if (!m_port)
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
    while (!receive(pending)) {
        if (m_port)
            m_port->waitReadable(kPollSlice);
        else
            m_clock.sleep(kPollSlice);
        if (m_clock.now() - pending.start > kResponseTimeout) {
            pending.result = TransactionResult::TimeOut;
            return;
        }
    }
}

} // namespace qn480
