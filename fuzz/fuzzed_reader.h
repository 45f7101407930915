// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fake_reader.h"
#include "fuzz_input.h"

#include <functional>
#include <memory>

namespace qn480::fuzz {

// What the operator does while a transaction waits; the target's pump carries it out, as
// the window's event processing would.
enum class OperatorAction {
    None,
    Stop,       // the page's Stop button
    ChangePage, // another page: every run flag cleared
    Close,      // the window closes: flags cleared, port closed
    Nested,     // a handler of the target's choice runs inside the wait
};

// A reader whose every answer, and the operator's doings between them, come from the fuzz
// input. One control byte per request: its low three bits pick the answer, the next three
// an operator action. Answers:
//   0 frame        status, length, data
//   1 silence
//   2 bad checksum status, length, data
//   3 raw bytes    length / 4, bytes
//   4 late frame   status, length, data, delay in 4 ms steps
//   5 split frame  status, length, data, cut, gap in ms
//   6 noisy frame  noise length, noise, status, length, data
//   7 two frames   status, length, data, status, length, data
class FuzzedReader
{
public:
    FuzzedReader(testing::FakeClock &clock, FuzzInput &input, int requestLimit);

    std::unique_ptr<Port> port() { return m_reader.port(); }
    testing::FakeReader &reader() { return m_reader; }
    int requests() const { return m_requests; }
    bool limitReached() const { return m_requests >= m_limit; }

    // Called with every request before it is answered.
    void onEachRequest(std::function<void(const testing::Bytes &)> observer)
    {
        m_observer = std::move(observer);
    }
    // Called once, from the request that reaches the limit.
    void onLimit(std::function<void()> callback) { m_onLimit = std::move(callback); }
    // The action the input chose at the latest request, once.
    OperatorAction takeAction();

private:
    void answer(const testing::Bytes &request);
    testing::Bytes frame(std::uint8_t group, std::uint8_t code);

    testing::FakeReader m_reader;
    FuzzInput &m_input;
    int m_limit;
    int m_requests = 0;
    OperatorAction m_action = OperatorAction::None;
    std::function<void()> m_onLimit;
    std::function<void(const testing::Bytes &)> m_observer;
};

} // namespace qn480::fuzz
