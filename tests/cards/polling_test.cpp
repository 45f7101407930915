// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO14443B, FeliCa and ISO15693 pages against a scripted reader.
#include "card_rig.h"
#include "presence.h"
#include "procedures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace qn480;
using namespace qn480::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::uint8_t kCollisionStatus = 0xE2;

struct PollingPage
{
    const char *name;
    CardProcedure procedure;
    std::uint8_t group;
    std::string configureFrame;
    std::string pollFrame;
    Bytes card;                  // a poll answer that is a card
    Card record;                 // and the record of it
    std::vector<Bytes> notCards; // answers with Status 1 that are no card
};

const PollingPage kPages[] = {
    {"ISO14443B",
     CardProcedure::Iso14443B,
     0x0B,
     "AA 00 04 00 00 0B 00 0F",
     "AA 00 06 00 00 0B 10 00 00 1D",
     hex("1A 2B 3C 4D 00 00 00 00 00 81 71"),
     TypeBCard{hex("1A 2B 3C 4D"), hex("00 00 00 00"), hex("00 81 71")},
     {hex("1A 2B 3C 4D 00 00 00 00 00 81"), hex("1A 2B 3C 4D 00 00 00 00 00 81 71 00"), {}}},
    {"FeliCa",
     CardProcedure::Felica,
     0x0C,
     "AA 00 04 00 00 0C 00 08",
     "AA 00 08 00 00 0C 10 FF FF 00 00 14",
     hex("00 01 0B 01 02 03 04 05 06 07 08"),
     FelicaCard{0x00, 0x01, hex("01 02 03 04 05 06 07 08"), {}},
     {{}}},
    {"ISO15693",
     CardProcedure::Iso15693,
     0x0D,
     "AA 00 04 00 00 0D 00 09",
     "AA 00 06 00 00 0D 10 00 00 1B",
     hex("00 11 22 33 44 55 66 77 88"),
     Iso15693Card{0x00, hex("11 22 33 44 55 66 77 88")},
     {{}}},
};

class PollingTest : public ::testing::TestWithParam<PollingPage>, public CardRig
{
protected:
    PollingTest()
    {
        reader.always(page().group, 0x00, 0x01);
        reader.always(0x00, 0x30, 0x01);
        reader.always(0x00, 0x31, 0x01);
    }
    const PollingPage &page() const { return GetParam(); }
    void runPolls(int polls) { run(page().procedure, page().group, 0x10, polls); }
};

} // namespace

TEST_P(PollingTest, FramesAndOutcomesOfARun)
{
    reader.always(page().group, 0x10, kNoCardStatus);
    runPolls(2);
    EXPECT_EQ(frames(), (std::vector<std::string>{page().configureFrame, "AA 00 04 00 00 00 30 34",
                                                  page().pollFrame, page().pollFrame,
                                                  "AA 00 04 00 00 00 31 35"}));
    EXPECT_EQ(observer.steps, (std::vector<CardStep>{{page().group, 0x00},
                                                     {0x00, 0x30},
                                                     {page().group, 0x10},
                                                     {page().group, 0x10},
                                                     {0x00, 0x31}}));
    ASSERT_EQ(observer.outcomes.size(), 5u);
    EXPECT_EQ(observer.outcomes[2].result, TransactionResult::Frame);
    EXPECT_EQ(observer.outcomes[2].status, kNoCardStatus);
    EXPECT_EQ(observer.log, "SNNE");
    for (const PassOutcome &pass : observer.passes)
        EXPECT_EQ(pass.status, kNoCardStatus);
    EXPECT_EQ(observer.ends.at(0).end, RunEnd::Stopped);
}

TEST_P(PollingTest, OnlyACardMakesARecord)
{
    reader.answer(page().group, 0x10, 0x01, page().card);
    for (const Bytes &notCard : page().notCards)
        reader.answer(page().group, 0x10, 0x01, notCard);
    reader.answer(page().group, 0x10, kCollisionStatus);
    reader.alwaysSilent(page().group, 0x10); // the reader stops answering
    const int polls = 1 + static_cast<int>(page().notCards.size()) + 1 + 2;
    runPolls(polls);

    ASSERT_EQ(observer.passes.size(), static_cast<std::size_t>(polls));
    EXPECT_EQ(observer.passes[0].card, page().record);
    for (std::size_t i = 1; i <= page().notCards.size(); ++i) {
        EXPECT_FALSE(observer.passes[i].card) << i;
        EXPECT_EQ(observer.passes[i].status, 0x01) << i; // " Operation is successful."
    }
    const std::size_t collision = 1 + page().notCards.size();
    EXPECT_EQ(observer.passes[collision].status, kCollisionStatus);
    EXPECT_EQ(observer.outcomes.back().result, TransactionResult::Frame); // the carrier off
    EXPECT_EQ(observer.outcomes[observer.outcomes.size() - 2].result, TransactionResult::TimeOut);
    EXPECT_EQ(observer.cards().size(), 1u);
}

TEST_P(PollingTest, StopWhileAPollWaitsFinishesTheCycle)
{
    reader.always(page().group, 0x10, 0x01, page().card);
    reader.setDelay(300ms);
    bool pressed = false;
    onRequest = [&](const Bytes &request) {
        pressed = pressed || request[6] == 0x10;
    };
    pump = [&] {
        if (pressed)
            stop.requestStop();
    };
    runPolls(100);
    EXPECT_EQ(reader.count(page().group, 0x10), 1);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(observer.log, "SCE");
    EXPECT_EQ(observer.cards().at(0), page().record);
}

INSTANTIATE_TEST_SUITE_P(Pages, PollingTest, ::testing::ValuesIn(kPages),
                         [](const auto &param) { return std::string(param.param.name); });

// The fields each page takes from one poll's answer, by position; nothing: not reported.
TEST(PollingCards, FieldsByPosition)
{
    using enum CardProcedure;
    const struct
    {
        CardProcedure procedure;
        const char *data;
        std::optional<Card> card;
    } cases[] = {
        // FeliCa: data byte 2 ends the identifier.
        {Felica, "00 01 0B 01 02 03 04 05 06 07 08",
         FelicaCard{0, 1, hex("01 02 03 04 05 06 07 08"), {}}},
        {Felica, "00 01 00 01 02 03", std::nullopt}, // end index 0: nothing shown
        {Felica, "05 06 01 BB", FelicaCard{5, 6, {}, {}}},
        {Felica, "05 06 02", FelicaCard{5, 6, {}, {}}},
        {Felica, "05 06 03 BB", FelicaCard{5, 6, {}, {}}},
        {Felica, "00 01 0B", FelicaCard{0, 1, Bytes(8, 0x00), {}}},
        {Felica, "00 01 05 01 02 03 04", FelicaCard{0, 1, hex("01 02"), {}}},
        // The manufacturer parameter after the identifier, when the reader sends it whole.
        {Felica, "00 01 0B 01 02 03 04 05 06 07 08 10 11 12 13 14 15 16 17",
         FelicaCard{0, 1, hex("01 02 03 04 05 06 07 08"), hex("10 11 12 13 14 15 16 17")}},
        {Felica, "00 01 0B 01 02 03 04 05 06 07 08 10 11 12",
         FelicaCard{0, 1, hex("01 02 03 04 05 06 07 08"), {}}},
        // ISO15693 shows nine bytes.
        {Iso15693, "3C", Iso15693Card{0x3C, Bytes(8, 0x00)}},
        {Iso15693, "01 11 22 33 44 55 66 77 88 99 BB",
         Iso15693Card{0x01, hex("11 22 33 44 55 66 77 88")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        CardRig rig;
        const std::uint8_t group = c.procedure == Felica ? 0x0C : 0x0D;
        rig.reader.always(group, 0x00, 0x01);
        rig.reader.always(0x00, 0x30, 0x01);
        rig.reader.answer(group, 0x10, 0x01, hex(c.data));
        rig.observer.onPass = [&] {
            rig.stop.requestStop();
        };
        rig.start(c.procedure);
        const PassOutcome pass = rig.observer.passes.at(0);
        EXPECT_EQ(pass.card, c.card);
        if (!c.card) {
            EXPECT_EQ(pass.status, 0x00); // a status with no message: nothing to tell
        }
    }
}

TEST(Presence, ACardComesOnceAndGoesAfterTwoMissedPassesAndATenthOfASecond)
{
    const Card a = TypeBCard{hex("1A 2B 3C 4D"), hex("00 00 00 00"), hex("00 81 71")};
    Card aAgain = a; // the same card, other fields: still the same card
    std::get<TypeBCard>(aAgain).appData = hex("11 11 11 11");
    const Card b = TypeBCard{hex("0A 0B 0C 0D"), hex("00 00 00 00"), hex("00 81 71")};
    const struct
    {
        const char *name;
        std::vector<std::pair<std::optional<Card>, std::chrono::milliseconds>> passes;
        std::string events; // '+' present, '-' removed, in order
    } cases[] = {
        {"stays", {{a, 0ms}, {aAgain, 50ms}, {a, 50ms}}, "+"},
        {"one missed pass", {{a, 0ms}, {{}, 200ms}, {a, 50ms}}, "+"},
        {"two missed passes", {{a, 0ms}, {{}, 50ms}, {{}, 50ms}}, "+-"},
        {"two quick misses", {{a, 0ms}, {{}, 10ms}, {{}, 10ms}, {{}, 80ms}}, "+-"},
        {"too quick", {{a, 0ms}, {{}, 10ms}, {{}, 10ms}}, "+"},
        {"another card", {{a, 0ms}, {b, 10ms}}, "+-+"},
        {"back again", {{a, 0ms}, {{}, 60ms}, {{}, 60ms}, {a, 10ms}}, "+-+"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FakeClock clock;
        PresenceTracker tracker(clock);
        std::string events;
        std::vector<Card> removed;
        for (const auto &[card, after] : c.passes) {
            clock.sleep(after);
            for (const PresenceEvent &event : tracker.pass(card)) {
                events += event.kind == PresenceKind::Present ? '+' : '-';
                if (event.kind == PresenceKind::Removed)
                    removed.push_back(event.card);
            }
        }
        EXPECT_EQ(events, c.events);
        for (const Card &card : removed)
            EXPECT_EQ(card, a); // as it was when it came
        EXPECT_EQ(tracker.arrivals(),
                  static_cast<int>(std::count(c.events.begin(), c.events.end(), '+')));
    }
}
