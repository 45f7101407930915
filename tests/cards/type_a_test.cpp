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

// A single-size card: ATQA, UID 12 34 56 78, SAK; no answer to select.
void putCard(CardRig &rig, std::uint8_t sak = 0x08)
{
    rig.reader.always(kA, kRequest, 0x01, hex("04 00"));
    rig.reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
    rig.reader.always(kA, 0x13, 0x01, {sak});
}

class TypeATest : public ::testing::Test, public CardRig
{
protected:
    TypeATest()
    {
        reader.always(kA, 0x00, 0x01);
        reader.always(0x00, 0x30, 0x01);
        reader.always(0x00, 0x31, 0x01);
    }

    void runA(int passes) { run(CardProcedure::Iso14443A, kA, kRequest, passes); }
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
    putCard(*this);
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
    // The page hears of every answer, which it clears its boxes by.
    EXPECT_EQ(observer.outcomes.size(), frames().size());
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

TEST_F(TypeATest, InitializationPageReportsTheSameRecords)
{
    reader.always(kA, kRequest, 0x01, hex("44 00"));
    reader.always(kA, 0x12, 0x01, hex("12 34 56 78"));
    reader.always(kA, 0x13, 0x01, hex("20"));
    reader.always(kA, 0x15, 0x01, kAtsLetterS);
    reader.always(kA, 0x40, 0x01);
    run(CardProcedure::MifareInit, kA, kRequest, 2);

    const auto card = observer.lastCard<TypeACard>();
    EXPECT_EQ(card.uid, kClassicUid);
    EXPECT_EQ(card.sak, 0x20);
    EXPECT_EQ(card.atqa, hex("44 00"));
    EXPECT_EQ(card.ats, kAtsLetterS);
    EXPECT_EQ(card.probeSucceeded, true);
    EXPECT_EQ(card.type, "Mifare Plus S SL0 2K");
    EXPECT_EQ(observer.log, "SCCE");
}

// Answers of the Type A group as text: "10=01 04 00; 15=-" answers the request with status 01
// and data 04 00, and leaves the answer to select unanswered.
void script(FakeReader &reader, std::string_view text, bool standing)
{
    while (!text.empty()) {
        const auto end = std::min(text.find(';'), text.size());
        const std::string one(trimmed(text.substr(0, end)));
        text.remove_prefix(std::min(end + 1, text.size()));
        const auto code = std::uint8_t(std::stoi(one.substr(0, 2), nullptr, 16));
        const Bytes answer = one.substr(3) == "-" ? Bytes{} : hex(one.substr(3));
        if (answer.empty())
            standing ? reader.alwaysSilent(kA, code) : reader.silence(kA, code);
        else if (standing)
            reader.always(kA, code, answer[0], Bytes(answer.begin() + 1, answer.end()));
        else
            reader.answer(kA, code, answer[0], Bytes(answer.begin() + 1, answer.end()));
    }
}

// What the window does in its turns.
enum class Window {
    Calm,
    FailsOnTheCard,     // the page refuses the selected card
    FailsBetweenPasses, // after a pass
    FailsOnceInASelect, // after the first select
    FailsInEveryLevel,  // after every anticollision
    Stops,              // Stop after the first anticollision
    ChangesPage,        // another page then, as closing the port would
    Closes,             // the port closed then
    RunsOutOfMemory,    // then
};

// Runs of a single-size card (ATQA 04 00, UID 12 34 56 78, SAK 08, no answer to select) or
// of what the case's answers make of it, the window failing, stopping or closing in its turns.
TEST(TypeARun, PassesCardsAndEndOfEachRun)
{
    const std::string classic = "10=01 04 00; 12=01 12 34 56 78; 13=01 08";
    using enum Window;
    const struct
    {
        const char *name;
        std::string standing, once; // answers
        Window window;
        int passes;
        // The observer's log / the passes' statuses / the requests' codes / the cards.
        std::string run;
        RunEnd end = RunEnd::Stopped;
        CardProcedure procedure = CardProcedure::Iso14443A;
    } cases[] = {
        {"unknown SAK, with and without an answer to select",
         "10=01 04 00; 12=01 12 34 56 78; 13=01 28", "15=01 06 75 77 81 02 80", Calm, 2,
         "SCCE / 01 01 / 00 30 10 12 13 15 10 12 13 15 31 / 12345678 Unknown Type !, 12345678 "
         "Unknown Type !"},
        {"a three-byte answer to request is no card", "10=01 04 00 00", "", Calm, 2,
         "SNNE / 01 01 / 00 30 10 10 31 / "},
        {"removed and put back: reported again", classic, "10=01 04 00; 10=01 04 00; 10=E0", Calm,
         4,
         "SCCNCE / 01 01 E0 01 / 00 30 10 12 13 15 10 12 13 15 10 10 12 13 15 31 / 12345678 "
         "Mifare Classic 1K, 12345678 Mifare Classic 1K, 12345678 Mifare Classic 1K"},
        // Not the select's success either.
        {"a cascade beyond level three selects nothing", "10=01 44 00; 12=01 88 04 A1 B2; 13=01 04",
         "", Calm, 1, "SNE / 00 / 00 30 10 12 13 12 13 12 13 31 / "},
        {"a page that fails on the card skips the rest of its pass", classic, "", FailsOnTheCard, 2,
         "SCE / 01 / 00 30 10 12 13 10 12 13 15 31 / 12345678 Mifare Classic 1K"},
        {"a failure between passes ends the run with the carrier off", classic, "",
         FailsBetweenPasses, 100, "SCE / 01 / 00 30 10 12 13 15 31 / 12345678 Mifare Classic 1K"},
        // Not with the level's bytes twice.
        {"a failure in a cascade level repeats it once", classic, "", FailsOnceInASelect, 1,
         "SCE / 01 / 00 30 10 12 13 12 13 15 31 / 12345678 Mifare Classic 1K"},
        {"repeated failures in the cascade end the pass", classic, "", FailsInEveryLevel, 2,
         "SNNE / 01 01 / 00 30 10 12 12 12 12 12 12 10 12 12 12 12 12 12 31 / "},
        {"Stop mid-pass: the pass finishes, the carrier goes off once", classic, "", Stops, 100,
         "SCE / 01 / 00 30 10 12 13 15 31 / 12345678 Mifare Classic 1K"},
        {"a page change mid-pass", classic, "", ChangesPage, 100,
         "SCE / 01 / 00 30 10 12 13 15 31 / 12345678 Mifare Classic 1K"},
        // Not even the carrier-off goes out.
        {"the port closed mid-pass: unwound without it", classic, "", Closes, 100,
         "SNE / 00 / 00 30 10 12 / "},
        // A time-out has no status from the reader; "no card" has its own.
        {"the initialization page tells lost cards by status", classic, "10=01 04 00; 10=-; 10=E0",
         Calm, 4,
         "SCNNCE / 01 00 E0 01 / 00 30 10 12 13 15 10 10 10 12 13 15 31 / 12345678 Mifare Classic "
         "1K, 12345678 Mifare Classic 1K",
         RunEnd::Stopped, CardProcedure::MifareInit},
        // Instead of being dropped, it ends the run on the way out.
        {"out of memory", classic, "", RunsOutOfMemory, 2, "SE /  / 00 30 10 12 / ",
         RunEnd::Aborted},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        CardRig rig;
        script(rig.reader, "00=01", true);
        rig.reader.always(0x00, 0x30, 0x01);
        rig.reader.always(0x00, 0x31, 0x01);
        script(rig.reader, c.standing, true);
        script(rig.reader, c.once, false);
        // The window's turn after the trigger calls `act`, `times` times (-1: always).
        auto due = std::make_shared<bool>(false);
        std::function<void()> act = [] {
            throw std::runtime_error("window failed");
        };
        int times = c.window == FailsInEveryLevel ? -1 : 1;
        const std::uint8_t trigger = c.window == FailsOnceInASelect ? 0x13 : 0x12;
        if (c.window == FailsOnTheCard)
            rig.observer.failOnSelected = true;
        if (c.window == FailsBetweenPasses)
            rig.observer.onPass = [due] {
                *due = true;
            };
        else if (c.window != Calm && c.window != FailsOnTheCard)
            rig.onRequest = [due, trigger](const Bytes &request) {
                *due = *due || request[6] == trigger;
            };
        if (c.window == Stops)
            act = [&] {
                rig.stop.requestStop();
            };
        if (c.window == ChangesPage)
            act = [&] {
                rig.connection.requestStop();
            };
        if (c.window == Closes)
            act = [&] {
                rig.connection.requestStop();
                rig.link.close();
            };
        if (c.window == RunsOutOfMemory)
            act = [] {
                throw std::bad_alloc();
            };
        rig.pump = [&, due] {
            if (*due && times != 0) {
                *due = false;
                --times;
                act();
            }
        };
        if (c.end == RunEnd::Aborted) {
            EXPECT_THROW(rig.run(c.procedure, kA, kRequest, c.passes), std::bad_alloc);
        } else {
            rig.run(c.procedure, kA, kRequest, c.passes);
        }
        std::string codes;
        for (const Bytes &request : rig.reader.requests())
            codes += (codes.empty() ? "" : " ") + hexByte(request[6]);
        std::string statuses;
        for (const PassOutcome &pass : rig.observer.passes)
            statuses += (statuses.empty() ? "" : " ") + hexByte(pass.status);
        std::string cards;
        for (const Card &card : rig.observer.cards()) {
            const auto &a = std::get<TypeACard>(card);
            cards += (cards.empty() ? "" : ", ") + hexText(a.uid, "") + " " + a.type;
        }
        EXPECT_EQ(rig.observer.log + " / " + statuses + " / " + codes + " / " + cards, c.run);
        ASSERT_EQ(rig.observer.ends.size(), 1u);
        EXPECT_EQ(rig.observer.ends[0].end, c.end);
    }
}
