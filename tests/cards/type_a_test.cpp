// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO14443A page and the MIFARE Plus initialization page against a scripted reader.
#include "card_rig.h"
#include "card_text.h"
#include "procedures.h"
#include "text_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <new>
#include <utility>

using namespace qn480;
using namespace qn480::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kA = 0x0A;
constexpr std::uint8_t kRequest = 0x10;
const Bytes kClassicUid = hex("12 34 56 78");
// Seven historical bytes C1 05 2F 2F xx BC D6 after TA, TB and TC; xx is the Plus letter.
const Bytes kAtsLetterX = hex("0C 78 80 70 02 C1 05 2F 2F 01 BC D6");
const Bytes kAtsLetterS = hex("0C 78 80 70 02 C1 05 2F 2F 00 BC D6");
const Bytes kAtsUnmarked = hex("06 75 77 81 02 80");

class TypeATest : public ::testing::Test, public CardRig
{
protected:
    TypeATest()
    {
        reader.always(kA, 0x00, 0x01);
        reader.always(0x00, 0x30, 0x01);
        reader.always(0x00, 0x31, 0x01);
    }

    // A single-size card: ATQA, UID 12 34 56 78, SAK; no answer to select.
    void putCard(const Bytes &atqa, std::uint8_t sak)
    {
        reader.always(kA, kRequest, 0x01, atqa);
        reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
        reader.always(kA, 0x13, 0x01, {sak});
    }

    void runA(int passes) { run(CardProcedure::Iso14443A, kA, kRequest, passes); }
    // The window's turn after every anticollision request calls `raise`.
    void raiseAfterEachAnticollision(std::function<void()> raise)
    {
        auto throwNow = std::make_shared<bool>(false);
        onRequest = [throwNow](const Bytes &request) {
            *throwNow = request[6] == 0x12;
        };
        pump = [throwNow, raise] {
            if (std::exchange(*throwNow, false))
                raise();
        };
    }
    void runInit(int passes) { run(CardProcedure::MifareInit, kA, kRequest, passes); }
    std::vector<std::string> types() const
    {
        std::vector<std::string> out;
        for (const Card &card : observer.cards())
            out.push_back(std::get<TypeACard>(card).type);
        return out;
    }
};

} // namespace

TEST_F(TypeATest, ClassicCardFramesAndRecord)
{
    putCard(hex("04 00"), 0x08);
    runA(3);

    const std::vector<std::string> onePass{
        "AA 00 04 00 00 0A 10 1E",
        "AA 00 06 00 00 0A 12 01 00 1F",
        "AA 00 09 00 00 0A 13 01 12 34 56 78 19",
        "AA 00 09 00 00 0A 15 01 12 34 56 78 1F",
    };
    std::vector<std::string> expected{"AA 00 04 00 00 0A 00 0E", "AA 00 04 00 00 00 30 34"};
    for (int pass = 0; pass < 3; ++pass)
        expected.insert(expected.end(), onePass.begin(), onePass.end());
    expected.push_back("AA 00 04 00 00 00 31 35");
    EXPECT_EQ(frames(), expected);

    TypeACard expectedCard;
    expectedCard.uid = kClassicUid;
    expectedCard.atqa = hex("04 00");
    expectedCard.sak = 0x08;
    expectedCard.type = "Mifare Classic 1K"; // no answer to select, so no probe either
    EXPECT_EQ(observer.lastCard<TypeACard>(), expectedCard);
    EXPECT_EQ(observer.log, "SCCCE");
    // Each card is told as selected before its type is asked.
    ASSERT_EQ(observer.selected.size(), 3u);
    EXPECT_EQ(observer.selected[0].uid, kClassicUid);
    EXPECT_EQ(observer.selected[0].type, "");
    EXPECT_EQ(observer.steps.size(), frames().size());
    EXPECT_EQ(observer.outcomes.at(5).result, TransactionResult::TimeOut); // the unanswered ATS
    EXPECT_EQ(observer.ends.at(0).end, RunEnd::Stopped);
}

TEST_F(TypeATest, DoubleAndTripleSizeUidsDropTheCascadeTags)
{
    const struct
    {
        const char *name;
        const char *atqa;
        std::vector<const char *> levels; // anticollision answers; each but the last selects 04
        std::uint8_t sak;
        Bytes ats;                        // empty: no answer to select
        std::vector<std::string> cascade; // the frames from the level-2 anticollision on
        Bytes uid;
        std::string type;
    } cases[] = {
        {"double",
         "44 00",
         {"88 04 A1 B2", "C3 D4 E5 F6"},
         0x00,
         {},
         {"AA 00 06 00 00 0A 12 02 00 1C", "AA 00 09 00 00 0A 13 02 C3 D4 E5 F6 16",
          "AA 00 09 00 00 0A 15 02 C3 D4 E5 F6 10"},
         hex("04 A1 B2 C3 D4 E5 F6"),
         "Mifare Ultralight"},
        {"triple",
         "44 03",
         {"88 04 A1 B2", "88 C3 D4 E5", "F6 07 18 29"},
         0x20,
         kAtsUnmarked,
         {"AA 00 06 00 00 0A 12 02 00 1C", "AA 00 09 00 00 0A 13 02 88 C3 D4 E5 68",
          "AA 00 06 00 00 0A 12 03 00 1D", "AA 00 09 00 00 0A 13 03 F6 07 18 29 D3",
          "AA 00 09 00 00 0A 15 03 F6 07 18 29 D5"},
         hex("04 A1 B2 C3 D4 E5 F6 07 18 29"),
         "Mifare DESFire"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CardRig rig; // a fresh reader and view for each card
        rig.reader.always(kA, 0x00, 0x01);
        rig.reader.always(0x00, 0x30, 0x01);
        rig.reader.always(0x00, 0x31, 0x01);
        rig.reader.always(kA, kRequest, 0x01, hex(c.atqa));
        for (std::size_t level = 0; level < c.levels.size(); ++level) {
            rig.reader.answer(kA, 0x12, 0x01, hex(c.levels[level]));
            rig.reader.answer(kA, 0x13, 0x01,
                              {level + 1 < c.levels.size() ? std::uint8_t{0x04} : c.sak});
        }
        if (c.ats.empty())
            rig.reader.alwaysSilent(kA, 0x15);
        else
            rig.reader.always(kA, 0x15, 0x01, c.ats);
        rig.run(CardProcedure::Iso14443A, kA, kRequest, 1);

        const auto sent = rig.frames();
        ASSERT_GE(sent.size(), 5u + c.cascade.size());
        EXPECT_EQ(sent[3], "AA 00 06 00 00 0A 12 01 00 1F");
        EXPECT_EQ(std::vector<std::string>(sent.begin() + 5,
                                           sent.begin() + 5 + std::ptrdiff_t(c.cascade.size())),
                  c.cascade);
        const auto card = rig.observer.lastCard<TypeACard>();
        EXPECT_EQ(card.uid, c.uid);
        EXPECT_EQ(card.sak, c.sak);
        EXPECT_EQ(card.type, c.type);
        EXPECT_EQ(card.ats.has_value(), !c.ats.empty());
        if (card.ats) {
            EXPECT_EQ(*card.ats, c.ats);
        }
    }
}

TEST_F(TypeATest, CascadeBeyondLevelThreeSelectsNothingAndClaimsNoSuccess)
{
    reader.always(kA, kRequest, 0x01, hex("44 00"));
    reader.always(kA, 0x12, 0x01, hex("88 04 A1 B2"));
    reader.always(kA, 0x13, 0x01, hex("04"));
    runA(1);

    EXPECT_EQ(reader.count(kA, 0x12), 3);
    EXPECT_EQ(reader.count(kA, 0x15), 0);
    EXPECT_EQ(observer.log, "SNE");
    EXPECT_EQ(observer.passes.at(0).status, 0x00); // not the select's success
}

TEST_F(TypeATest, NamesDesfireWithoutProbeAndPlusByProbe)
{
    // DESFire, then three Plus cards in one run: the letter stays for the unmarked one.
    reader.answer(kA, kRequest, 0x01, hex("44 03"));
    reader.always(kA, kRequest, 0x01, hex("42 00"));
    reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
    reader.always(kA, 0x13, 0x01, hex("20"));
    reader.answer(kA, 0x15, 0x01, kAtsUnmarked);
    reader.answer(kA, 0x15, 0x01, kAtsLetterX);
    reader.answer(kA, 0x15, 0x01, kAtsLetterX);
    reader.answer(kA, 0x15, 0x01, kAtsUnmarked);
    reader.answer(kA, 0x40, 0xA3);
    reader.answer(kA, 0x40, 0x01);
    reader.answer(kA, 0x40, 0x01);
    runA(4);

    EXPECT_EQ(types(), (std::vector<std::string>{"Mifare DESFire", "Mifare Plus X SL3 4K",
                                                 "Mifare Plus X SL0 4K", "Mifare Plus X SL0 4K"}));
    const auto cards = observer.cards();
    EXPECT_FALSE(std::get<TypeACard>(cards[0]).probeSucceeded);
    EXPECT_EQ(std::get<TypeACard>(cards[1]).probeSucceeded, false);
    EXPECT_EQ(std::get<TypeACard>(cards[2]).probeSucceeded, true);
    EXPECT_EQ(reader.count(kA, 0x40), 3);
    const auto &probe = reader.requests().at(reader.requests().size() - 2);
    EXPECT_EQ(probe.size(), 27u);
    EXPECT_EQ(hexText(probe).substr(0, 29), "AA 00 17 00 00 0A 40 01 90 00");
}

TEST_F(TypeATest, UnknownSakWithAndWithoutAnswerToSelect)
{
    putCard(hex("04 00"), 0x28);
    reader.answer(kA, 0x15, 0x01, kAtsUnmarked);
    runA(2);
    EXPECT_EQ(types(), (std::vector<std::string>{"Unknown Type !", "Unknown Type !"}));
}

TEST_F(TypeATest, ThreeByteAnswerToRequestIsNoCard)
{
    reader.always(kA, kRequest, 0x01, hex("04 00 00"));
    runA(2);
    EXPECT_EQ(reader.count(kA, 0x12), 0);
    EXPECT_EQ(observer.log, "SNNE");
    EXPECT_EQ(observer.passes.at(0).status, 0x01); // " Operation is successful."
    EXPECT_TRUE(observer.selected.empty());
}

TEST_F(TypeATest, CardRemovedAndPutBackIsReportedAgain)
{
    putCard(hex("04 00"), 0x08);
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.answer(kA, kRequest, 0xE0);
    runA(4);

    EXPECT_EQ(observer.log, "SCCNCE");
    EXPECT_EQ(observer.passes.at(2).status, kNoCardStatus);
    // The page hears of every answer to the request, which it clears its boxes by.
    int answered = 0;
    for (const StepOutcome &outcome : observer.outcomes)
        answered += outcome.step == CardStep{kA, kRequest} && outcome.status == 1 &&
                    outcome.dataLength == 2;
    EXPECT_EQ(answered, 3);
}

class TypeAStopTest : public TypeATest, public ::testing::WithParamInterface<bool>
{};

TEST_P(TypeAStopTest, FinishesThePassThenStopsTheCarrierOnce)
{
    const bool pageChange = GetParam();
    putCard(hex("04 00"), 0x08);
    bool pressed = false;
    onRequest = [&](const Bytes &request) {
        pressed = pressed || request[6] == 0x12;
    };
    pump = [&] {
        if (!pressed)
            return;
        if (pageChange)
            connection.requestStop(); // as closing the port would
        else
            stop.requestStop();
    };
    runA(100);

    EXPECT_EQ(reader.commands(),
              (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{kA, 0x00},
                                                                  {0x00, 0x30},
                                                                  {kA, 0x10},
                                                                  {kA, 0x12},
                                                                  {kA, 0x13},
                                                                  {kA, 0x15},
                                                                  {0x00, 0x31}}));
    EXPECT_EQ(observer.log, "SCE");
    EXPECT_EQ(observer.lastCard<TypeACard>().type, "Mifare Classic 1K");
}

INSTANTIATE_TEST_SUITE_P(StopOrPageChange, TypeAStopTest, ::testing::Bool());

TEST_F(TypeATest, ClosingMidPassUnwindsWithoutThePort)
{
    putCard(hex("04 00"), 0x08);
    bool closing = false;
    onRequest = [&](const Bytes &request) {
        closing = closing || request[6] == 0x12;
    };
    pump = [&] {
        if (!closing || !link.hasPort())
            return;
        connection.requestStop();
        link.close();
    };
    runA(100);

    EXPECT_EQ(reader.requests().size(), 4u); // nothing after the anticollision
    EXPECT_EQ(observer.log, "SNE");
    EXPECT_EQ(observer.ends.at(0).end, RunEnd::Stopped);
    EXPECT_EQ(observer.outcomes.back().result, TransactionResult::NoPort); // the carrier off
}

TEST_F(TypeATest, ExceptionInAPassSkipsItsRest)
{
    putCard(hex("04 00"), 0x08);
    observer.failOnSelected = true;
    runA(2);
    EXPECT_EQ(reader.count(kA, 0x15), 1); // only the second pass named the card
    EXPECT_EQ(observer.log, "SCE");
}

TEST_F(TypeATest, ExceptionBetweenPassesEndsPollingWithCarrierOff)
{
    putCard(hex("04 00"), 0x08);
    bool armed = false;
    observer.onPass = [&] {
        armed = true;
    };
    pump = [&] {
        if (std::exchange(armed, false))
            throw std::runtime_error("window failed");
    };
    runA(100);
    EXPECT_EQ(reader.count(kA, kRequest), 1);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(observer.log, "SCE");
    EXPECT_EQ(observer.ends.at(0).end, RunEnd::Stopped);
}

TEST_F(TypeATest, ExceptionInACascadeLevelRepeatsItOnce)
{
    putCard(hex("04 00"), 0x08);
    bool throwNow = false;
    int throws = 1;
    onRequest = [&](const Bytes &request) {
        if (request[6] == 0x13 && throws-- > 0)
            throwNow = true;
    };
    pump = [&] {
        if (std::exchange(throwNow, false))
            throw std::runtime_error("window failed");
    };
    runA(1);
    EXPECT_EQ(reader.count(kA, 0x12), 2);
    EXPECT_EQ(observer.lastCard<TypeACard>().uid, kClassicUid); // not the level's bytes twice
}

TEST_F(TypeATest, RepeatedExceptionsInTheCascadeEndThePass)
{
    putCard(hex("04 00"), 0x08);
    raiseAfterEachAnticollision([] { throw std::runtime_error("window failed"); });
    runA(2);
    EXPECT_EQ(reader.count(kA, kRequest), 2);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_TRUE(observer.selected.empty());
    EXPECT_EQ(observer.log, "SNNE");
}

TEST_F(TypeATest, RunningOutOfMemoryEndsTheRunInsteadOfBeingDropped)
{
    putCard(hex("04 00"), 0x08);
    raiseAfterEachAnticollision([] { throw std::bad_alloc(); });
    EXPECT_THROW(runA(2), std::bad_alloc);
    EXPECT_EQ(reader.count(kA, kRequest), 1);
    EXPECT_EQ(observer.log, "SE"); // the run ends on the way out
    EXPECT_EQ(observer.ends.at(0).end, RunEnd::Aborted);
}

TEST_F(TypeATest, InitializationPageReportsTheSameRecords)
{
    reader.always(kA, kRequest, 0x01, hex("44 00"));
    reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
    reader.always(kA, 0x13, 0x01, hex("20"));
    reader.always(kA, 0x15, 0x01, kAtsLetterS);
    reader.always(kA, 0x40, 0x01);
    runInit(2);

    const auto card = observer.lastCard<TypeACard>();
    EXPECT_EQ(card.uid, kClassicUid);
    EXPECT_EQ(card.sak, 0x20);
    EXPECT_EQ(card.atqa, hex("44 00"));
    EXPECT_EQ(card.ats, kAtsLetterS);
    EXPECT_EQ(card.probeSucceeded, true);
    EXPECT_EQ(card.type, "Mifare Plus S SL0 2K");
    EXPECT_EQ(observer.log, "SCCE");
}

TEST_F(TypeATest, InitializationPageReportsLostCardsByStatus)
{
    putCard(hex("04 00"), 0x08);
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.silence(kA, kRequest);
    reader.answer(kA, kRequest, 0xE0);
    runInit(4);

    EXPECT_EQ(observer.log, "SCNNCE");
    // A time-out has no status from the reader; "no card" has its own.
    EXPECT_EQ(observer.passes.at(1).status, 0x00);
    EXPECT_EQ(observer.passes.at(2).status, kNoCardStatus);
    EXPECT_EQ(observer.lastCard<TypeACard>().type, "Mifare Classic 1K");
}
