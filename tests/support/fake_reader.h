// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clock.h"
#include "port.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qn480::testing {

using Bytes = std::vector<std::uint8_t>;

// "AA 00 04" -> bytes; blanks are optional.
Bytes hex(std::string_view text);
std::string hexText(std::span<const std::uint8_t> bytes);
// A response frame as the reader sends it: AA, LEN, 00 00, group, code, status, data, xor.
Bytes responseFrame(std::uint8_t group, std::uint8_t code, std::uint8_t status,
                    const Bytes &data = {});

// Time that moves only when something sleeps or waits.
class FakeClock final : public Clock
{
public:
    std::chrono::nanoseconds now() const override { return m_now; }
    void sleep(std::chrono::nanoseconds duration) override { m_now += duration; }
    void advanceTo(std::chrono::nanoseconds t)
    {
        if (t > m_now)
            m_now = t;
    }

private:
    std::chrono::nanoseconds m_now{std::chrono::hours(1)};
};

// A scripted reader on the other end of a fake port. It records every request and answers
// by command: one-shot answers queued with answer() come first, then the standing answer
// set with always(), else silence.
class FakeReader
{
public:
    using Hook = std::function<void(const Bytes &request)>;

    explicit FakeReader(FakeClock &clock)
        : m_clock(clock)
    {}

    // A port on this reader's line, to attach to a Link. The reader must outlive it.
    std::unique_ptr<Port> port();

    void answer(std::uint8_t group, std::uint8_t code, std::uint8_t status, const Bytes &data = {});
    void answerRaw(std::uint8_t group, std::uint8_t code, const Bytes &bytes);
    void silence(std::uint8_t group, std::uint8_t code); // the next request gets no answer
    void always(std::uint8_t group, std::uint8_t code, std::uint8_t status, const Bytes &data = {});
    void alwaysSilent(std::uint8_t group, std::uint8_t code);
    // How long after a request its answer arrives.
    void setDelay(std::chrono::nanoseconds delay) { m_delay = delay; }
    // Bytes that arrive `after` from now, whatever was asked.
    void deliver(const Bytes &bytes, std::chrono::nanoseconds after = {});
    // Called after each request is recorded and answered (to press Stop mid-run, say).
    void onRequest(Hook hook) { m_hook = std::move(hook); }
    // A hung-up line: nothing arrives and every wait takes its whole slice.
    void setHungUp(bool hungUp) { m_hungUp = hungUp; }
    // An adapter that hands back every byte it sends, ahead of the reader's answer.
    void setEcho(bool echo) { m_echo = echo; }
    // The reader unplugged: the port reports the loss, or, `quietly`, only a look at the
    // device node finds it gone. Either way nothing is answered any more.
    void unplug(bool quietly = false)
    {
        m_hungUp = true;
        (quietly ? m_nodeGone : m_lost) = true;
    }

    const std::vector<Bytes> &requests() const { return m_requests; }
    // (group, code) of every request, in order.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> commands() const;
    int count(std::uint8_t group, std::uint8_t code) const;
    int waits() const { return m_waits; }
    void clearLog() { m_requests.clear(); }

private:
    friend class FakePort;
    struct Arrival
    {
        std::chrono::nanoseconds at;
        std::uint8_t byte;
    };
    using Key = std::pair<std::uint8_t, std::uint8_t>;

    void received(std::span<const std::uint8_t> request);
    int arrived() const;

    FakeClock &m_clock;
    std::map<Key, std::deque<std::optional<Bytes>>> m_once;
    std::map<Key, std::optional<Bytes>> m_standing;
    std::deque<Arrival> m_line;
    std::vector<Bytes> m_requests;
    std::chrono::nanoseconds m_delay{std::chrono::microseconds(800)};
    Hook m_hook;
    bool m_hungUp = false;
    bool m_echo = false;
    bool m_lost = false;
    bool m_nodeGone = false;
    int m_waits = 0;
};

} // namespace qn480::testing
