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

TEST_F(TransactionTest, DataCutByAStartMarkEndsInATimeOut)
{
    reader.answerRaw(0x0A, 0x15, hex("AA 00 08 00 00 0A 15 01 02 AA 03 1B"));
    EXPECT_EQ(link.ExecuteCommand(0x0A, 0x15, nullptr, 0), TransactionResult::TimeOut);
    EXPECT_EQ(link.LastResponse().Status, 0);
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
