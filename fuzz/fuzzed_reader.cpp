// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzzed_reader.h"

#include <chrono>

namespace qn480::fuzz {

namespace {

using namespace std::chrono_literals;

// As fast as a reader answers on a real line.
constexpr std::chrono::microseconds kAnswerDelay{800};
// Late answers reach past the 500 ms time-out, into the next transaction.
constexpr std::chrono::milliseconds kLateStep{4};
constexpr std::uint8_t kStartMark = 0xAA;

enum Answer : std::uint8_t {
    kFrame,
    kSilence,
    kBadChecksum,
    kRaw,
    kLate,
    kSplit,
    kNoisy,
    kTwoFrames,
};

} // namespace

FuzzedReader::FuzzedReader(testing::FakeClock &clock, FuzzInput &input, int requestLimit)
    : m_reader(clock)
    , m_input(input)
    , m_limit(requestLimit)
{
    m_reader.onRequest([this](const testing::Bytes &request) { answer(request); });
}

OperatorAction FuzzedReader::takeAction()
{
    const OperatorAction action = m_action;
    m_action = OperatorAction::None;
    return action;
}

testing::Bytes FuzzedReader::frame(std::uint8_t group, std::uint8_t code)
{
    const std::uint8_t status = m_input.byte();
    const testing::Bytes data = m_input.bytes(m_input.byte());
    return testing::responseFrame(group, code, status, data);
}

void FuzzedReader::answer(const testing::Bytes &request)
{
    ++m_requests;
    if (m_observer)
        m_observer(request);
    const std::uint8_t group = request.size() > 6 ? request[5] : 0;
    const std::uint8_t code = request.size() > 6 ? request[6] : 0;
    const std::uint8_t control = m_input.byte();

    switch ((control >> 3) & 0x07) {
    case 4:
        m_action = OperatorAction::Stop;
        break;
    case 5:
        m_action = OperatorAction::ChangePage;
        break;
    case 6:
        m_action = OperatorAction::Close;
        break;
    case 7:
        m_action = OperatorAction::Nested;
        break;
    default:
        break;
    }

    switch (control & 0x07) {
    case kFrame:
        m_reader.deliver(frame(group, code), kAnswerDelay);
        break;
    case kSilence:
        break;
    case kBadChecksum: {
        testing::Bytes bytes = frame(group, code);
        // Never into a start mark, which would leave the frame unfinished instead.
        bytes.back() ^= (bytes.back() ^ 0x01) == kStartMark ? 0x02 : 0x01;
        m_reader.deliver(bytes, kAnswerDelay);
        break;
    }
    case kRaw:
        m_reader.deliver(m_input.bytes(std::size_t{m_input.byte()} * 4), kAnswerDelay);
        break;
    case kLate: {
        const testing::Bytes bytes = frame(group, code);
        m_reader.deliver(bytes, kLateStep * m_input.byte());
        break;
    }
    case kSplit: {
        const testing::Bytes bytes = frame(group, code);
        const std::size_t cut = m_input.byte() % bytes.size();
        const auto gap = std::chrono::milliseconds(m_input.byte());
        m_reader.deliver({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)},
                         kAnswerDelay);
        m_reader.deliver({bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end()},
                         kAnswerDelay + gap);
        break;
    }
    case kNoisy: {
        testing::Bytes bytes = m_input.bytes(m_input.byte() % 16);
        const testing::Bytes good = frame(group, code);
        bytes.insert(bytes.end(), good.begin(), good.end());
        m_reader.deliver(bytes, kAnswerDelay);
        break;
    }
    case kTwoFrames: {
        testing::Bytes bytes = frame(group, code);
        const testing::Bytes second = frame(group, code);
        bytes.insert(bytes.end(), second.begin(), second.end());
        m_reader.deliver(bytes, kAnswerDelay);
        break;
    }
    }

    if (m_requests == m_limit && m_onLimit)
        m_onLimit();
}

} // namespace qn480::fuzz
