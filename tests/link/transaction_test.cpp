// SPDX-License-Identifier: GPL-3.0-or-later
// The transaction over a scripted reader: results, time-out, the wait, nested callers.
#include "fake_reader.h"
#include "link.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

using namespace qn480;
using namespace std::chrono_literals;
using qn480::testing::FakeClock;
using qn480::testing::FakeReader;
using qn480::testing::hex;
using qn480::testing::hexText;
using Bytes = qn480::testing::Bytes;

namespace {

// A link on a scripted reader.
struct Line
{
    Line() { link.attach(reader.port()); }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
};

class TransactionTest : public ::testing::Test, public Line
{
protected:
    std::chrono::nanoseconds elapsedSince(std::chrono::nanoseconds t) const
    {
        return clock.now() - t;
    }
};

} // namespace

// One request on a fresh line: what the script made of the line decides the result, the time
// the transaction took and the response it left.
TEST(Transaction, ResultTimeAndResponseOfOneRequest)
{
    using Rig = Line;
    constexpr auto kPastTimeOut = 500ms + 1ns; // a time-out comes after the 500 ms, not at them
    const Bytes inner = hex("0B AA 00 06 00 00 0A 15 01 01 19"); // an answer inside an ATS
    const Bytes outer = qn480::testing::responseFrame(0x0A, 0x15, 0x01, inner);
    const struct
    {
        const char *name;
        std::function<void(Rig &)> script;
        std::uint8_t group, code;
        TransactionResult result;
        std::chrono::nanoseconds minTime, maxTime;
        int dataLength;
        std::uint8_t data0;
    } cases[] = {
        {"frame",
         [](Rig &r) { r.reader.answerRaw(0x0A, 0x10, hex("AA 00 07 00 00 0A 10 01 44 00 58")); },
         0x0A, 0x10, TransactionResult::Frame, 0ms, 5ms, 2, 0x44},
        {"no port: nothing sent, no wait, the response reset",
         [](Rig &r) {
             r.reader.answer(0x00, 0x10, 0x01, {0x05});
             r.link.ExecuteCommand(0x00, 0x10, nullptr, 0);
             r.link.close();
             r.reader.clearLog();
         },
         0x00, 0x10, TransactionResult::NoPort, 0ms, 0ms, -1, 0},
        {"silence", [](Rig &) {}, 0x0B, 0x00, TransactionResult::TimeOut, kPastTimeOut, 505ms, -1,
         0},
        {"an answer just before the deadline",
         [](Rig &r) {
             r.reader.setDelay(499ms);
             r.reader.answer(0x0B, 0x00, 0x01);
         },
         0x0B, 0x00, TransactionResult::Frame, 499ms, 500ms, 0, 0},
        {"taken as its last byte arrives",
         [](Rig &r) {
             r.reader.setDelay(1200us);
             r.reader.answer(0x00, 0x30, 0x01);
         },
         0x00, 0x30, TransactionResult::Frame, 1200us, 1200us, 0, 0},
        {"hung-up line", [](Rig &r) { r.reader.setHungUp(true); }, 0x00, 0x30,
         TransactionResult::TimeOut, kPastTimeOut, 505ms, -1, 0},
        {"port closed during the wait: ends by the time-out",
         [](Rig &r) {
             r.link.setPump([&r, pumps = 0]() mutable {
                 if (++pumps == 3)
                     r.link.close();
             });
         },
         0x0A, 0x10, TransactionResult::TimeOut, kPastTimeOut, 505ms, -1, 0},
        {"stale bytes are discarded before the request",
         [](Rig &r) {
             r.reader.deliver(hex("AA 00 06 00 00 00 10 01 0F 18"));
             r.reader.answer(0x00, 0x10, 0x01, {0x05});
         },
         0x00, 0x10, TransactionResult::Frame, 0ms, 5ms, 1, 0x05},
        {"bad checksum",
         [](Rig &r) { r.reader.answerRaw(0x00, 0x30, hex("AA 00 05 00 00 00 30 01 00")); }, 0x00,
         0x30, TransactionResult::BadChecksum, 0ms, 5ms, -1, 0},
        {"split over several reads",
         [](Rig &r) {
             r.reader.onRequest([&r](const Bytes &) {
                 r.reader.deliver(hex("00 00 AA 00 06"), 2ms);
                 r.reader.deliver(hex("00 00 00 10 01"), 9ms);
                 r.reader.deliver(hex("0A 1D"), 20ms);
             });
         },
         0x00, 0x10, TransactionResult::Frame, 20ms, 25ms, 1, 0x0A},
        // A round reads 1024 bytes at most, the next the rest.
        {"1500 bytes of noise first",
         [](Rig &r) {
             r.reader.onRequest([&r](const Bytes &) {
                 r.reader.deliver(Bytes(1500, 0x55), 1ms);
                 r.reader.deliver(qn480::testing::responseFrame(0x00, 0x12, 0x01, {0x1F}), 1ms);
             });
         },
         0x00, 0x12, TransactionResult::Frame, 1ms, 10ms, 1, 0x1F},
        // A frame cut short by noise still gives way to a whole one behind it.
        {"a cut frame, then a whole one",
         [](Rig &r) {
             r.reader.answerRaw(0x0A, 0x15,
                                hex("AA 00 08 00 00 0A 15 01 02 AA 00 06 00 00 0A 15 01 07 1F"));
         },
         0x0A, 0x15, TransactionResult::Frame, 0ms, 5ms, 1, 0x07},
        // An answer to the same request inside the answer's data is data; it stands in only
        // for an outer frame that never completes, at the time-out.
        {"a frame inside the answer", [&](Rig &r) { r.reader.answerRaw(0x0A, 0x15, outer); }, 0x0A,
         0x15, TransactionResult::Frame, 0ms, 5ms, 11, 0x0B},
        {"a frame inside an answer that never completes",
         [&](Rig &r) { r.reader.answerRaw(0x0A, 0x15, Bytes(outer.begin(), outer.end() - 1)); },
         0x0A, 0x15, TransactionResult::Frame, kPastTimeOut, 505ms, 1, 0x01},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        c.script(rig);
        const auto before = rig.clock.now();
        EXPECT_EQ(rig.link.ExecuteCommand(c.group, c.code, nullptr, 0), c.result);
        EXPECT_GE(rig.clock.now() - before, c.minTime);
        EXPECT_LE(rig.clock.now() - before, c.maxTime);
        EXPECT_EQ(rig.link.LastResponse().DataLength, c.dataLength);
        EXPECT_EQ(rig.link.LastResponse().Data[0], c.data0);
        EXPECT_LE(rig.reader.waits(), 101); // whole slices, also on a hung-up line
        EXPECT_EQ(rig.reader.requests().size(), c.result == TransactionResult::NoPort ? 0u : 1u);
    }
}

TEST_F(TransactionTest, StartMarksInsideTheDataAreData)
{
    // Every position of a 4-byte UID and a setting value, and a frame whose checksum is 0xAA.
    const Bytes cases[] = {
        hex("AA 12 34 56"), hex("12 AA 34 56"), hex("12 34 AA 56"),    hex("12 34 56 AA"),
        hex("AA AA AA AA"), hex("AA"),          hex("00 AA 00 00 00"),
        hex("B5"), // checksum AA
    };
    for (const Bytes &data : cases) {
        const Bytes frame = qn480::testing::responseFrame(0x0A, 0x12, 0x01, data);
        reader.answerRaw(0x0A, 0x12, frame);
        ASSERT_EQ(link.ExecuteCommand(0x0A, 0x12, nullptr, 0), TransactionResult::Frame)
            << hexText(frame);
        EXPECT_EQ(hexText(std::span(link.LastResponse().Data)
                              .first(static_cast<std::size_t>(link.LastResponse().DataLength))),
                  hexText(data));
    }
    EXPECT_EQ(qn480::testing::responseFrame(0x0A, 0x12, 0x01, hex("B5")).back(), 0xAA);
}

TEST_F(TransactionTest, OnlyThisRequestsAnswerIsTaken)
{
    // Late answers to the three commands before, then an echo of the request itself: each
    // is skipped, with or without the right answer behind it.
    const Bytes strangers[] = {
        qn480::testing::responseFrame(0x00, 0x10, 0x01, hex("0F")),
        qn480::testing::responseFrame(0x00, 0x12, 0x01, hex("0F")),
        qn480::testing::responseFrame(0x0A, 0x10, 0x01, hex("44 00")),
    };
    for (const Bytes &stranger : strangers) {
        for (bool answered : {true, false}) {
            reader.alwaysSilent(0x00, 0x18);
            reader.onRequest([&](const Bytes &) {
                reader.deliver(stranger, 1ms);
                if (answered)
                    reader.deliver(qn480::testing::responseFrame(0x00, 0x18, 0x01, hex("1F")), 2ms);
            });
            const auto result = link.ExecuteCommand(0x00, 0x18, nullptr, 0);
            EXPECT_EQ(result, answered ? TransactionResult::Frame : TransactionResult::TimeOut)
                << hexText(stranger);
            EXPECT_EQ(link.LastResponse().Data[0], answered ? 0x1F : 0x00);
        }
    }

    reader.onRequest({});
    reader.setEcho(true);
    reader.answer(0x00, 0x10, 0x01, {0x05});
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x10, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Data[0], 0x05);
    reader.silence(0x00, 0x11);
    const std::uint8_t mode = 0x0F;
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x11, &mode, 1), TransactionResult::TimeOut);

    // A frame too short to name its command is a frame still, with no status to mislead.
    reader.setEcho(false);
    reader.answerRaw(0x00, 0x12, hex("AA 00 01 00 01"));
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x12, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Status, 0);
    EXPECT_EQ(link.LastResponse().DataLength, -1);
}

TEST_F(TransactionTest, ALostDeviceEndsTheTransactionAndTakesNoMore)
{
    for (bool quietly : {false, true}) {
        FakeReader gone(clock);
        int told = 0;
        link.setLossHandler([&] { ++told; });
        link.attach(gone.port());
        gone.onRequest([&](const Bytes &) { gone.unplug(quietly); });
        const auto before = clock.now();
        EXPECT_EQ(link.ExecuteCommand(0x0A, 0x10, nullptr, 0), TransactionResult::DeviceLost);
        // Told by the port at once; a node found missing only at the time-out.
        if (quietly)
            EXPECT_GT(elapsedSince(before), 500ms);
        else
            EXPECT_LE(elapsedSince(before), 5ms);
        EXPECT_TRUE(link.deviceLost());
        EXPECT_EQ(link.ExecuteCommand(0x00, 0x31, nullptr, 0), TransactionResult::DeviceLost);
        EXPECT_EQ(gone.requests().size(), 1u);
        EXPECT_EQ(told, 1);
    }

    // An idle port looked at by its owner.
    FakeReader idle(clock);
    int told = 0;
    link.setLossHandler([&] { ++told; });
    link.attach(idle.port());
    EXPECT_FALSE(link.checkDevice());
    idle.unplug(true);
    EXPECT_TRUE(link.checkDevice());
    EXPECT_EQ(told, 1);
    link.close();
    EXPECT_FALSE(link.deviceLost());
}

TEST_F(TransactionTest, TheWindowGetsItsTurnWhileTheTransactionWaits)
{
    int pumps = 0;
    link.setPump([&] { ++pumps; });
    link.ExecuteCommand(0x0B, 0x00, nullptr, 0);
    // One turn per 5 ms slice, about a hundred in 500 ms.
    EXPECT_GE(pumps, 100);
    EXPECT_LE(pumps, 102);
}

TEST_F(TransactionTest, TraceShowsRequestAndResponseFrames)
{
    std::vector<std::string> trace;
    link.setTrace([&](TraceDirection d, std::span<const std::uint8_t> bytes) {
        trace.push_back((d == TraceDirection::Request ? ">> " : "<< ") + hexText(bytes));
    });
    reader.answer(0x00, 0x10, 0x01, {0x05});
    link.ExecuteCommand(0x00, 0x10, nullptr, 0);
    EXPECT_EQ(trace, (std::vector<std::string>{">> AA 00 04 00 00 00 10 14",
                                               "<< AA 00 06 00 00 00 10 01 05 12"}));
}

// A handler run from the pump starts its own transaction while another waits, answered or
// silent: each keeps its own response, and the outer ends by its own deadline.
TEST(Transaction, NestedTransactionsKeepTheirOwnResponses)
{
    for (bool outerAnswered : {true, false}) {
        SCOPED_TRACE(outerAnswered);
        Line line;
        line.reader.setDelay(20ms);
        if (outerAnswered)
            line.reader.answer(0x0A, 0x10, 0x01, {0x44, 0x00});
        line.reader.answer(0x00, 0x10, 0x01, {0x0F});
        Response seenByInner;
        TransactionResult innerResult{};
        line.link.setPump([&, nested = false]() mutable {
            if (std::exchange(nested, true))
                return;
            innerResult = line.link.ExecuteCommand(0x00, 0x10, nullptr, 0);
            seenByInner = line.link.LastResponse();
        });
        EXPECT_EQ(line.link.ExecuteCommand(0x0A, 0x10, nullptr, 0),
                  outerAnswered ? TransactionResult::Frame : TransactionResult::TimeOut);
        EXPECT_EQ(line.link.LastResponse().DataLength, outerAnswered ? 2 : -1);
        EXPECT_EQ(line.link.LastResponse().Data[0], outerAnswered ? 0x44 : 0x00);
        EXPECT_EQ(innerResult, TransactionResult::Frame);
        EXPECT_EQ(seenByInner.DataLength, 1);
        EXPECT_EQ(seenByInner.Data[0], 0x0F);
        // An answered outer was taken before the inner request went out.
        ASSERT_EQ(line.reader.commands().size(), 2u);
        EXPECT_EQ(line.reader.commands()[1],
                  std::make_pair(std::uint8_t{0x00}, std::uint8_t{0x10}));
    }
}

TEST_F(TransactionTest, TransactCopyIsNotChangedByATransactionFromThePump)
{
    reader.answer(0x0A, 0x10, 0x01, {0x04, 0x00});
    reader.answer(0x00, 0x10, 0x01, {0x0F});
    const Reply reply = link.transact(0x0A, 0x10);
    // What a procedure does next: let the window run, which here starts a keypad Get.
    bool ran = false;
    link.setPump([&] {
        if (!std::exchange(ran, true))
            link.transact(0x00, 0x10);
    });
    link.processMessages();
    EXPECT_EQ(reply.response.DataLength, 2);
    EXPECT_EQ(reply.response.Data[0], 0x04);
    EXPECT_EQ(link.LastResponse().Data[0], 0x0F);
}
