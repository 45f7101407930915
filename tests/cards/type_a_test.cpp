// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO14443A page and the MIFARE Plus initialization page against a scripted reader.
#include "card_rig.h"
#include "card_text.h"
#include "procedures.h"

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
const std::string kClassicUid = "0000000078563412";
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

    void runA(int passes) { run(readIso14443A, 1, kA, kRequest, passes); }
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
    void runInit(int passes) { run(initializeMifare, 5, kA, kRequest, passes); }
};

} // namespace

TEST_F(TypeATest, ClassicCardFramesBoxesAndOneAnnouncement)
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

    EXPECT_EQ(view.boxText(CardBox::Uid14443A), kClassicUid);
    EXPECT_EQ(view.boxText(CardBox::Atqa14443A), "04");
    EXPECT_EQ(view.boxText(CardBox::Sak14443A), "08");
    EXPECT_EQ(view.boxText(CardBox::CardType14443A), "Mifare Classic 1K");
    EXPECT_EQ(statusCount(" " + kClassicUid), 1);
    EXPECT_EQ(view.hint(), kClassicUid);
    EXPECT_EQ(view.statusLog,
              (std::vector<std::string>{" ",
                                        " Configure registers in the QN480 to serve ISO14443A "
                                        "transaction.",
                                        " Start 13.56-MHz carrier emission", " " + kClassicUid,
                                        " Stop 13.56-MHz carrier emission", " "}));
    EXPECT_EQ(view.runLog, (std::vector<int>{1, -1}));
    EXPECT_EQ(flags.readTag[1], 0);
    EXPECT_EQ(boxWrites(CardBox::MifarePlusInit).size(), 0u);
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
        std::string uid;
        std::string type;
    } cases[] = {
        {"double",
         "44 00",
         {"88 04 A1 B2", "C3 D4 E5 F6"},
         0x00,
         {},
         {"AA 00 06 00 00 0A 12 02 00 1C", "AA 00 09 00 00 0A 13 02 C3 D4 E5 F6 16",
          "AA 00 09 00 00 0A 15 02 C3 D4 E5 F6 10"},
         "00F6E5D4C3B2A104",
         "Mifare Ultralight"},
        {"triple",
         "44 03",
         {"88 04 A1 B2", "88 C3 D4 E5", "F6 07 18 29"},
         0x20,
         kAtsUnmarked,
         {"AA 00 06 00 00 0A 12 02 00 1C", "AA 00 09 00 00 0A 13 02 88 C3 D4 E5 68",
          "AA 00 06 00 00 0A 12 03 00 1D", "AA 00 09 00 00 0A 13 03 F6 07 18 29 D3",
          "AA 00 09 00 00 0A 15 03 F6 07 18 29 D5"},
         "291807F6E5D4C3B2A104",
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
        rig.run(readIso14443A, 1, kA, kRequest, 1);

        const auto sent = rig.frames();
        ASSERT_GE(sent.size(), 5u + c.cascade.size());
        EXPECT_EQ(sent[3], "AA 00 06 00 00 0A 12 01 00 1F");
        EXPECT_EQ(std::vector<std::string>(sent.begin() + 5,
                                           sent.begin() + 5 + std::ptrdiff_t(c.cascade.size())),
                  c.cascade);
        EXPECT_EQ(rig.view.boxText(CardBox::Uid14443A), c.uid);
        EXPECT_EQ(rig.view.boxText(CardBox::Sak14443A), hexByte(c.sak));
        EXPECT_EQ(rig.view.boxText(CardBox::CardType14443A), c.type);
        EXPECT_EQ(rig.statusCount(" " + c.uid), 1);
        EXPECT_EQ(rig.view.hint(), c.uid);
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
    EXPECT_EQ(statusCount(kSuccessful), 0);
    EXPECT_EQ(view.hint(), "");
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

    EXPECT_EQ(boxWrites(CardBox::CardType14443A),
              (std::vector<std::string>{"", "Mifare DESFire", "Mifare Plus X SL3 4K",
                                        "Mifare Plus X SL0 4K", "Mifare Plus X SL0 4K"}));
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
    EXPECT_EQ(boxWrites(CardBox::CardType14443A),
              (std::vector<std::string>{"", "Unknown Type !", "Unknown Type !"}));
}

TEST_F(TypeATest, ThreeByteAnswerToRequestIsNoCard)
{
    reader.always(kA, kRequest, 0x01, hex("04 00 00"));
    runA(2);
    EXPECT_EQ(reader.count(kA, 0x12), 0);
    EXPECT_EQ(passStarts.at(1).status, kSuccessful);
    EXPECT_EQ(passStarts.at(1).hint, "");
    EXPECT_TRUE(view.boxLog.empty());
}

TEST_F(TypeATest, CardRemovedAndPutBackIsClearedAndAnnouncedAgain)
{
    putCard(hex("04 00"), 0x08);
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.answer(kA, kRequest, 0xE0);
    runA(4);

    EXPECT_EQ(statusCount(" " + kClassicUid), 2);
    EXPECT_EQ(passStarts.at(3).status, kNoCard);
    EXPECT_EQ(passStarts.at(3).hint, "");
    // The four boxes are emptied, in this order, only before the card is first shown.
    const std::vector<std::pair<CardBox, std::string>> cleared{{CardBox::Uid14443A, ""},
                                                               {CardBox::Sak14443A, ""},
                                                               {CardBox::Atqa14443A, ""},
                                                               {CardBox::CardType14443A, ""}};
    ASSERT_EQ(view.boxLog.size(), 8u + 4u + 8u); // the third pass found no card
    EXPECT_TRUE(std::equal(cleared.begin(), cleared.end(), view.boxLog.begin()));
    EXPECT_TRUE(std::equal(cleared.begin(), cleared.end(), view.boxLog.begin() + 12));
    EXPECT_EQ(view.boxText(CardBox::CardType14443A), "Mifare Classic 1K");
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
            flags.readTag = {}; // pcMainChange clicks every Stop button
        else
            flags.readTag[1] = 0;
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
    EXPECT_EQ(view.boxText(CardBox::CardType14443A), "Mifare Classic 1K");
    const std::vector<std::string> tail(view.statusLog.end() - 3, view.statusLog.end());
    EXPECT_EQ(tail, (std::vector<std::string>{" " + kClassicUid, " Stop 13.56-MHz carrier emission",
                                              " "}));
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
        flags.readTag = {};
        flags.connectTag = 0;
        link.close();
    };
    runA(100);

    EXPECT_EQ(reader.requests().size(), 4u); // nothing after the anticollision
    EXPECT_EQ(view.status(), " ");
    EXPECT_EQ(view.indicator, "WH");
    EXPECT_EQ(view.runLog, (std::vector<int>{1, -1}));
}

TEST_F(TypeATest, IndicatorPhaseContinuesAcrossRunsAndPages)
{
    putCard(hex("04 00"), 0x08);
    reader.always(0x0B, 0x00, 0x01);
    reader.always(0x0B, 0x10, 0xE0);
    runA(3);
    EXPECT_EQ(view.indicator, "WYWH");
    run(readIso14443B, 2, 0x0B, 0x10, 2);
    EXPECT_EQ(view.indicator, "WYWHYWH");
    run(initializeMifare, 5, kA, kRequest, 1);
    EXPECT_EQ(view.indicator, "WYWHYWHYH");
    EXPECT_EQ(flags.shapeTag, 0);

    // Above 1 the Type A pages count down, the polling pages restart at 1.
    flags.shapeTag = 2;
    runA(1);
    EXPECT_EQ(flags.shapeTag, 1);
    flags.shapeTag = 2;
    run(readIso14443B, 2, 0x0B, 0x10, 1);
    EXPECT_EQ(view.indicator, "WYWHYWHYHYHWH");
    EXPECT_EQ(flags.shapeTag, 1);
}

TEST_F(TypeATest, ExceptionInAPassSkipsItsRest)
{
    putCard(hex("04 00"), 0x08);
    view.failOnBox = CardBox::Sak14443A;
    runA(2);
    EXPECT_EQ(reader.count(kA, 0x15), 1); // only the second pass named the card
    EXPECT_EQ(view.indicator, "WH");
    EXPECT_EQ(statusCount(" " + kClassicUid), 1);
}

TEST_F(TypeATest, ExceptionBetweenPassesEndsPollingWithCarrierOff)
{
    putCard(hex("04 00"), 0x08);
    bool armed = false;
    view.onIndicator = [&] {
        armed = true;
    };
    pump = [&] {
        if (std::exchange(armed, false))
            throw std::runtime_error("window failed");
    };
    runA(100);
    EXPECT_EQ(reader.count(kA, kRequest), 1);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(view.status(), " ");
    EXPECT_EQ(flags.readTag[1], 0);
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
    EXPECT_EQ(view.boxText(CardBox::Uid14443A), kClassicUid); // not the level's bytes twice
}

TEST_F(TypeATest, RepeatedExceptionsInTheCascadeEndThePass)
{
    putCard(hex("04 00"), 0x08);
    raiseAfterEachAnticollision([] { throw std::runtime_error("window failed"); });
    runA(2);
    EXPECT_EQ(reader.count(kA, kRequest), 2);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(view.boxText(CardBox::Uid14443A), "");
}

TEST_F(TypeATest, RunningOutOfMemoryEndsTheRunInsteadOfBeingDropped)
{
    putCard(hex("04 00"), 0x08);
    raiseAfterEachAnticollision([] { throw std::bad_alloc(); });
    EXPECT_THROW(runA(2), std::bad_alloc);
    EXPECT_EQ(reader.count(kA, kRequest), 1);
    EXPECT_EQ(flags.readTag[1], 0); // the controls are given back on the way out
}

TEST_F(TypeATest, InitializationPageWritesTheTypeAPageAndItsOwnBox)
{
    reader.always(kA, kRequest, 0x01, hex("44 00"));
    reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
    reader.always(kA, 0x13, 0x01, hex("20"));
    reader.always(kA, 0x15, 0x01, kAtsLetterS);
    reader.always(kA, 0x40, 0x01);
    runInit(2);

    EXPECT_EQ(view.boxText(CardBox::Uid14443A), kClassicUid);
    EXPECT_EQ(view.boxText(CardBox::Sak14443A), "20");
    EXPECT_EQ(view.boxText(CardBox::Atqa14443A), "44");
    EXPECT_EQ(view.boxText(CardBox::MifarePlusInit), "Mifare Plus S SL0 2K");
    EXPECT_TRUE(boxWrites(CardBox::CardType14443A).empty());
    EXPECT_EQ(statusCount(" " + kClassicUid), 1);
    EXPECT_EQ(view.runLog, (std::vector<int>{5, -5}));
    EXPECT_EQ(flags.readTag[5], 0);
}

TEST_F(TypeATest, InitializationPageMarksLostCardsAndNeverClearsBoxes)
{
    putCard(hex("04 00"), 0x08);
    reader.answer(kA, kRequest, 0x01, hex("04 00"));
    reader.silence(kA, kRequest);
    reader.answer(kA, kRequest, 0xE0);
    runInit(4);

    // After a time-out the status line keeps the announcement; the hint holds one blank.
    EXPECT_EQ(passStarts.at(2).status, " " + kClassicUid);
    EXPECT_EQ(passStarts.at(2).hint, " ");
    // After "no card" the hint holds the status line's message.
    EXPECT_EQ(passStarts.at(3).status, kNoCard);
    EXPECT_EQ(passStarts.at(3).hint, kNoCard);
    EXPECT_EQ(statusCount(" " + kClassicUid), 2);
    for (const auto &[box, text] : view.boxLog)
        EXPECT_FALSE(text.empty());
    EXPECT_EQ(view.boxText(CardBox::MifarePlusInit), "Mifare Classic 1K");
}
