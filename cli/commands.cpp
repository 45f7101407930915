// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "keypad_commands.h"
#include "keypad_json.h"
#include "link.h"
#include "poll_events.h"
#include "procedures.h"
#include "process_guard.h"
#include "status_text.h"
#include "text_util.h"
#include "trace.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace qn480::cli {

using Json = nlohmann::ordered_json;

namespace {

// What runs in the link's wait and after every command: the only "window message" the
// tool has is a stop request from a signal.
class Runner
{
public:
    Runner(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
        : m_options(options)
        , m_link(link)
        , m_io(io)
        , m_stop(stop)
        , m_plugged(io.plugged)
        , m_keypad({options, link, io.out, io.err, stop, io.stopFd, io.profile})
    {
        if (!m_io.now)
            m_io.now = [] {
                return std::chrono::system_clock::now();
            };
        m_link.setLossHandler([this] {
            m_lost = true;
            m_keypad.portLost();
        });
        m_link.setTrace([this](TraceDirection direction, std::span<const std::uint8_t> frame) {
            m_answered = m_answered || direction == TraceDirection::Response;
            if (m_options.trace) {
                // One write per line, so that it stays whole next to other output.
                m_io.err << traceLine(direction, frame, m_io.now()) + "\n" << std::flush;
            }
        });
    }
    ~Runner()
    {
        m_link.setTrace({});
        m_link.setPump({});
        m_link.setLossHandler({});
    }
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    // The command; with --wait, again from the start each time the reader comes back after
    // it went away (a poll keeps what it has reported). A poll's log lines, actions and
    // broker events are seen to their end afterwards.
    int run()
    {
        const int code = runAgainAfterLoss();
        closeRun();
        return finishEvents(code);
    }

private:
    int runAgainAfterLoss()
    {
        bool toldSilent = false;
        for (;;) {
            m_answered = false;
            const Ended ended = runOnce();
            if (ended.kind == Ended::Kind::Stopped)
                return 128 + m_stop;
            if (ended.kind == Ended::Kind::Lost) {
                m_io.err << kProgram << "the reader on " << deviceName()
                         << " was disconnected (unplugged or hung up)" << std::endl;
                m_keypad.tellUnfinishedWrites();
                m_endedLost = true;
                if (!m_io.reconnect)
                    return kExitPortFailed;
                if (!m_io.reconnect(m_link))
                    return m_stop != 0 ? kExitSuccess : kExitPortFailed;
                m_endedLost = false;
                m_lost = false;
                m_plugged = true;
                if (m_pollEvents)
                    m_pollEvents->readerBack();
                continue;
            }
            if (!stillStarting(ended.code))
                return ended.code;
            // A reader just plugged in may take a moment before it answers; the port is
            // opened afresh, since its node may still change.
            if (!toldSilent) {
                m_io.err << kProgram << "the reader on " << deviceName()
                         << " does not answer yet; trying again (--wait)" << std::endl;
                toldSilent = true;
            }
            if (!m_io.reconnect(m_link))
                return m_stop != 0 ? kExitSuccess : kExitPortFailed;
        }
    }

private:
    std::string deviceName() const
    {
        return escapedText(m_io.device.empty() ? "its port" : m_io.device);
    }

    // A poll on a reader that has just come (--wait) whose start got no answer at all: the
    // reader is still starting, not absent.
    bool stillStarting(int code) const
    {
        const bool timedOut = m_pollDeadline && m_link.clock().now() >= *m_pollDeadline;
        return code == kExitNoAnswer && m_options.command == Command::Poll && m_io.reconnect &&
               m_plugged && !m_answered && m_stop == 0 && !timedOut;
    }

    Ended runOnce()
    {
        switch (m_options.command) {
        case Command::Poll: {
            const int code = poll();
            return m_lost ? Ended::lost() : Ended::exit(code);
        }
        case Command::KeypadGet:
        case Command::KeypadSet:
        case Command::KeypadDefaults:
        case Command::KeypadSave:
        case Command::KeypadLoad: {
            const Ended ended = m_keypad.run();
            return m_lost ? Ended::lost() : ended;
        }
        case Command::Raw:
            return raw();
        default: // the commands without a reader
            break;
        }
        return Ended::exit(kExitUsage);
    }

    // ---- poll ----

    int poll()
    {
        // One view for the whole command, so that a reader plugged in again (--wait) does
        // not count or announce again the card it had reported.
        if (!m_pollView) {
            m_pollEvents.emplace(m_options, m_io.err);
            if (const auto failed = m_pollEvents->startStation(m_io.device))
                return *failed;
            m_pollView.emplace(PollView::Setup{m_options.air, m_options.quiet}, m_io.err,
                               m_link.clock(),
                               [this](const PresenceEvent &event) { deliver(event); });
            if (m_options.timeout)
                m_pollDeadline = m_link.clock().now() + *m_options.timeout;
        }
        PollView &view = *m_pollView;
        StopToken stop;
        view.setOnCard([&] {
            // A reader of our output that went away is as good as Stop.
            if ((m_options.count > 0 && view.cardsReported() >= m_options.count) || !m_io.out)
                stop.requestStop();
        });
        view.setOnPass([this] { m_pollEvents->betweenPasses(m_link); });
        const auto deadline = m_pollDeadline;
        bool timedOut = false;
        m_link.setPump([&] {
            if (deadline && !stop.stopRequested() && m_link.clock().now() >= *deadline) {
                timedOut = true;
                stop.requestStop();
            }
            if (m_stop || outputGone() || m_lost || m_pollEvents->failed())
                stop.requestStop();
        });
        runCardProcedure(procedureFor(m_options.air), m_link, stop, view);
        m_link.setPump({});
        m_countReached = m_options.count > 0 && view.cardsReported() >= m_options.count;
        if (m_lost)
            return kExitPortFailed; // told as a loss by the caller
        if (m_pollEvents->failed())
            return kExitReaderError; // the station's line comes with the end of the events

        if (view.runEnd() != RunEnd::Stopped) {
            if (m_options.quiet && !view.lastMessage().empty())
                m_io.err << kProgram << view.lastMessage() << std::endl;
            return failureCode(m_link.LastResponse().DataLength); // the start's last reply
        }
        const bool enough = m_options.count > 0 ? view.cardsReported() >= m_options.count
                                                : view.cardsReported() > 0;
        if (timedOut && !enough)
            return tell(m_io.err, kExitNoAnswer,
                        std::string("no ") + (view.cardsReported() > 0 ? "further " : "") +
                            "card within the time-out");
        return kExitSuccess;
    }

    // A card still on the reader when the poll ends leaves with it, everywhere: a consumer
    // must not take it for present for ever. Scripts read exactly N lines of `-n N`, so a
    // poll ended by its count does not print it.
    void closeRun()
    {
        if (!m_pollView)
            return;
        const auto closing =
            m_pollView->end(m_endedLost ? RemovalCause::Lost : RemovalCause::Stopped);
        if (closing)
            deliver(*closing, !m_countReached && !outputGone());
    }

    // One card event: its line on stdout, then the log, the action and the broker.
    void deliver(const PresenceEvent &event, bool print = true)
    {
        const EventRecord record = m_sequence.next(event, m_io.now());
        if (print)
            m_io.out << m_pollEvents->line(record) << std::endl;
        m_pollEvents->handle(record);
    }

    // Waits for the log and the queued actions (a second stop signal ends the actions), and
    // tells the broker that the reader is going offline.
    int finishEvents(int code)
    {
        if (!m_pollEvents)
            return code;
        drainStopSignals();
        const int stopFd = m_io.stopFd;
        m_pollEvents->finish([stopFd] { return stopPending(stopFd); });
        return m_pollEvents->closeStation(
            code, m_stop != 0, [this, stopFd] { return m_stop != 0 || stopPending(stopFd); });
    }

    bool outputGone() const { return m_io.outFd >= 0 && readerGone(m_io.outFd); }

    // ---- raw ----

    Ended raw()
    {
        const Reply reply = m_link.transact(m_options.group, m_options.code, m_options.data);
        if (m_stop != 0)
            return Ended::stopped();
        if (reply.result == TransactionResult::DeviceLost)
            return Ended::lost();
        const Response &r = reply.response;
        const std::string_view result = reply.result == TransactionResult::Frame     ? "frame"
                                        : reply.result == TransactionResult::TimeOut ? "time-out"
                                        : reply.result == TransactionResult::BadChecksum
                                            ? "bad checksum"
                                            : "no port";
        const auto data = std::span(r.Data).first(
            static_cast<std::size_t>(std::clamp(r.DataLength, 0, kFrameBufferSize)));
        const std::string_view statusText = StatusText(r.Status);
        if (m_options.json) {
            const Json line{{"result", result},
                            {"status", r.Status},
                            {"status_text", statusText},
                            {"data_length", r.DataLength},
                            {"data", hexText(data, "")}};
            m_io.out << jsonText(line) << std::endl;
        } else {
            const std::array<std::uint8_t, 1> status{r.Status};
            m_io.out << "result: " << result << "\n"
                     << "status: " << hexText(status, "") << (statusText.empty() ? "" : " ")
                     << statusText << "\n"
                     << "data: "
                     << (r.DataLength < 0 ? std::string("none (no valid frame)")
                         : data.empty()   ? std::string("none")
                                          : hexText(data, " "))
                     << std::endl;
        }
        if (r.DataLength < 0)
            return Ended::exit(kExitNoAnswer);
        // A good frame followed by a broken one: the good one is shown, but the exchange
        // did not end well, and a script must not take it for success.
        if (reply.result == TransactionResult::BadChecksum)
            return Ended::exit(kExitReaderError);
        return Ended::exit(r.Status == 1 ? kExitSuccess : kExitReaderError);
    }

    const Options &m_options;
    Link &m_link;
    Io m_io;
    const volatile std::sig_atomic_t &m_stop;
    bool m_lost = false;
    bool m_plugged;          // the reader came during this command: it may still be starting
    bool m_answered = false; // a frame came back since the command (re)started
    std::optional<PollEvents> m_pollEvents; // from the poll's start
    EventSequence m_sequence;
    bool m_endedLost = false;    // the command ended with the reader gone
    bool m_countReached = false; // the poll ended at its -n
    std::optional<PollView> m_pollView;
    std::optional<std::chrono::nanoseconds> m_pollDeadline;
    KeypadCommands m_keypad;
};

} // namespace

int runCommand(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
{
    Runner runner(options, link, io, stop);
    return runner.run();
}

int listPortsCommand(const std::vector<PortEntry> &ports, bool json, Io io, const PortProbe &probe)
{
    for (const PortEntry &port : ports) {
        // A stop signal ends the scan between two ports; each is given back at once.
        std::optional<Probe> probed;
        if (probe && stopSignal() == 0)
            probed = probe(port);
        if (probed && !probed->reader) {
            io.err << kProgram << escapedText(port.name)
                   << " not probed: " << escapedText(probed->reason) << std::endl;
        }
        if (json) {
            Json line{{"name", utf8Text(port.name)},
                      {"number", port.number},
                      {"device", utf8Text(port.device)},
                      {"description", utf8Text(port.description)}};
            if (probed && probed->reader)
                line["reader"] = *probed->reader;
            else if (probe)
                line["reader"] = nullptr;
            io.out << jsonText(line);
        } else {
            // A path may hold anything; a newline in it must not forge a line.
            io.out << escapedText(port.name) << '\t' << escapedText(port.device) << '\t'
                   << escapedText(port.description);
            if (probe) {
                io.out << '\t'
                       << (!probed || !probed->reader ? "not probed"
                           : *probed->reader          ? "reader"
                                                      : "no reader");
            }
        }
        io.out << '\n';
    }
    io.out.flush();
    if (ports.empty())
        io.err << kProgram << "no serial ports found" << std::endl;
    return kExitSuccess;
}

} // namespace qn480::cli
