// SPDX-License-Identifier: GPL-3.0-or-later
// The transaction over a scripted reader: results, time-out, the wait, nested callers.
#include "fake_reader.h"
#include "link.h"

#include <gtest/gtest.h>

#include <utility>

using namespace qn480;
using namespace std::chrono_literals;
using qn480::testing::FakeClock;
using qn480::testing::FakeReader;
using qn480::testing::hex;
using qn480::testing::hexText;
using Bytes = qn480::testing::Bytes;

namespace {

class TransactionTest : public ::testing::Test
{
protected:
    TransactionTest() { link.attach(reader.port()); }

    std::chrono::nanoseconds elapsedSince(std::chrono::nanoseconds t) const
    {
        return clock.now() - t;
    }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
};

} // namespace

TEST_F(TransactionTest, FrameReceivedFillsLastResponse)
{
    reader.answerRaw(0x0A, 0x10, hex("AA 00 07 00 00 0A 10 01 44 00 58"));
    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x10, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(hexText(reader.requests().at(0)), "AA 00 04 00 00 0A 10 1E");
    EXPECT_EQ(link.LastResponse().Status, 0x01);
    EXPECT_EQ(link.LastResponse().DataLength, 2);
    EXPECT_EQ(link.LastResponse().Data[0], 0x44);
}

TEST_F(TransactionTest, NoPortSendsNothingAndResetsTheResponse)
{
    reader.answer(0x00, 0x10, 0x01, {0x05});
    link.ExecuteCommand(0x00, 0x10, nullptr, 0);
    link.close();
    const auto before = clock.now();
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x10, nullptr, 0), TransactionResult::NoPort);
    EXPECT_EQ(link.LastResponse().Status, 0);
    EXPECT_EQ(link.LastResponse().DataLength, -1);
    EXPECT_EQ(link.LastResponse().Data[0], 0);
    EXPECT_EQ(clock.now(), before);
    EXPECT_EQ(reader.requests().size(), 1u);
}

TEST_F(TransactionTest, SilenceTimesOutAfterFiveHundredMilliseconds)
{
    const auto before = clock.now();
    EXPECT_EQ(link.ExecuteCommand(0x0B, 0x00, nullptr, 0), TransactionResult::TimeOut);
    EXPECT_GT(elapsedSince(before), 500ms);
    EXPECT_LE(elapsedSince(before), 505ms);
    EXPECT_EQ(link.LastResponse().DataLength, -1);
}

TEST_F(TransactionTest, AnswerJustBeforeTheDeadlineIsTaken)
{
    reader.setDelay(499ms);
    reader.answer(0x0B, 0x00, 0x01);
    EXPECT_EQ(link.ExecuteCommand(0x0B, 0x00, nullptr, 0), TransactionResult::Frame);
}

TEST_F(TransactionTest, ResponseIsTakenAsSoonAsItsLastByteArrives)
{
    reader.setDelay(1200us);
    reader.answer(0x00, 0x30, 0x01);
    const auto before = clock.now();
    link.ExecuteCommand(0x00, 0x30, nullptr, 0);
    EXPECT_EQ(elapsedSince(before), 1200us);
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

    // A frame cut short by noise still gives way to a whole one behind it.
    reader.answerRaw(0x0A, 0x15,
                     hex("AA 00 08 00 00 0A 15 01 02"
                         "AA 00 06 00 00 0A 15 01 07 1F"));
    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x15, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Data[0], 0x07);
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

TEST_F(TransactionTest, BadChecksumAndAResponseSplitOverSeveralReads)
{
    reader.answerRaw(0x00, 0x30, hex("AA 00 05 00 00 00 30 01 00"));
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x30, nullptr, 0), TransactionResult::BadChecksum);
    EXPECT_EQ(link.LastResponse().DataLength, -1);

    reader.alwaysSilent(0x00, 0x10);
    reader.onRequest([&](const auto &) {
        reader.deliver(hex("00 00 AA 00 06"), 2ms);
        reader.deliver(hex("00 00 00 10 01"), 9ms);
        reader.deliver(hex("0A 1D"), 20ms);
    });
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x10, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Data[0], 0x0A);
}

// An answer to the same request inside the answer's data is data; it stands in only for an
// outer frame that never completes, at the time-out.
TEST_F(TransactionTest, AFrameInsideTheAnswerIsTakenOnlyWhenTheAnswerNeverCompletes)
{
    const Bytes ats = hex("0B AA 00 06 00 00 0A 15 01 01 19");
    const Bytes outer = qn480::testing::responseFrame(0x0A, 0x15, 0x01, ats);
    reader.answerRaw(0x0A, 0x15, outer);
    ASSERT_EQ(link.ExecuteCommand(0x0A, 0x15, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().DataLength, 11);

    reader.answerRaw(0x0A, 0x15, Bytes(outer.begin(), outer.end() - 1));
    const auto before = clock.now();
    ASSERT_EQ(link.ExecuteCommand(0x0A, 0x15, nullptr, 0), TransactionResult::Frame);
    EXPECT_GT(elapsedSince(before), 500ms);
    EXPECT_EQ(link.LastResponse().DataLength, 1);
    EXPECT_EQ(link.LastResponse().Data[0], 0x01);
}

TEST_F(TransactionTest, StaleBytesAreDiscardedBeforeTheRequest)
{
    reader.deliver(hex("AA 00 06 00 00 00 10 01 0F 18"));
    reader.answer(0x00, 0x10, 0x01, {0x05});
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x10, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Data[0], 0x05);
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

TEST_F(TransactionTest, HungUpLineWaitsWholeSlicesAndTimesOut)
{
    reader.setHungUp(true);
    const auto before = clock.now();
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x30, nullptr, 0), TransactionResult::TimeOut);
    EXPECT_GT(elapsedSince(before), 500ms);
    EXPECT_LE(reader.waits(), 101);
}

TEST_F(TransactionTest, PortClosedDuringTheWaitEndsByTheTimeOut)
{
    reader.alwaysSilent(0x0A, 0x10);
    int pumps = 0;
    link.setPump([&] {
        if (++pumps == 3)
            link.close();
    });
    const auto before = clock.now();
    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x10, nullptr, 0), TransactionResult::TimeOut);
    EXPECT_GT(elapsedSince(before), 500ms);
    EXPECT_FALSE(link.hasPort());
}

TEST_F(TransactionTest, AtMostOneChunkIsReadPerRound)
{
    // 1500 bytes of noise then the answer: a round takes 1024 bytes, the next the rest.
    reader.alwaysSilent(0x00, 0x12);
    reader.onRequest([&](const auto &) {
        reader.deliver(Bytes(1500, 0x55), 1ms);
        reader.deliver(qn480::testing::responseFrame(0x00, 0x12, 0x01, {0x1F}), 1ms);
    });
    EXPECT_EQ(link.ExecuteCommand(0x00, 0x12, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().Data[0], 0x1F);
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

// A handler run from the pump starts its own transaction while another waits.
TEST_F(TransactionTest, NestedTransactionsKeepTheirOwnResponses)
{
    reader.setDelay(20ms);
    reader.answer(0x0A, 0x10, 0x01, {0x44, 0x00}); // the outer's answer
    reader.answer(0x00, 0x10, 0x01, {0x0F});       // the inner's answer
    Response seenByInner;
    TransactionResult innerResult{};
    bool nested = false;
    link.setPump([&] {
        if (nested)
            return;
        nested = true;
        innerResult = link.ExecuteCommand(0x00, 0x10, nullptr, 0);
        seenByInner = link.LastResponse();
    });

    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x10, nullptr, 0), TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().DataLength, 2);
    EXPECT_EQ(link.LastResponse().Data[0], 0x44);

    EXPECT_EQ(innerResult, TransactionResult::Frame);
    EXPECT_EQ(seenByInner.DataLength, 1);
    EXPECT_EQ(seenByInner.Data[0], 0x0F);
    // The outer's answer was taken before the inner request went out.
    ASSERT_EQ(reader.commands().size(), 2u);
    EXPECT_EQ(reader.commands()[1], std::make_pair(std::uint8_t{0x00}, std::uint8_t{0x10}));
}

TEST_F(TransactionTest, NestedCallFinishesASilentOuterByItsDeadline)
{
    reader.alwaysSilent(0x0A, 0x10);
    reader.answer(0x00, 0x12, 0x01, {0x1F});
    bool nested = false;
    TransactionResult innerResult{};
    link.setPump([&] {
        if (!nested) {
            nested = true;
            innerResult = link.ExecuteCommand(0x00, 0x12, nullptr, 0);
        }
    });
    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x10, nullptr, 0), TransactionResult::TimeOut);
    EXPECT_EQ(innerResult, TransactionResult::Frame);
    EXPECT_EQ(link.LastResponse().DataLength, -1);
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
