// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO14443B, FeliCa and ISO15693 pages against a scripted reader.
#include "card_rig.h"
#include "procedures.h"

#include <gtest/gtest.h>

#include <map>

using namespace qn480;
using namespace qn480::testing;
using namespace std::chrono_literals;

namespace {

const std::string kCarrierOn = " Start 13.56-MHz carrier emission";
const std::string kCarrierOff = " Stop 13.56-MHz carrier emission";
const std::string kCollision = " Data collision occurs. ( ISO14443A / 15693 )";

struct PollingPage
{
    const char *name;
    Procedure procedure;
    int page;
    std::uint8_t group;
    std::string configureFrame;
    std::string pollFrame;
    std::string configureMessage;
    Bytes card;                  // a poll answer that shows a card
    std::string cardStatus;      // and the status line it leaves
    std::vector<Bytes> notCards; // answers with Status 1 that are no card
};

const PollingPage kPages[] = {
    {"ISO14443B",
     readIso14443B,
     2,
     0x0B,
     "AA 00 04 00 00 0B 00 0F",
     "AA 00 06 00 00 0B 10 00 00 1D",
     " Configure registers in the QN480 to serve ISO14443B transaction.",
     hex("1A 2B 3C 4D 00 00 00 00 00 81 71"),
     " 1A 2B 3C 4D ",
     {hex("1A 2B 3C 4D 00 00 00 00 00 81"), hex("1A 2B 3C 4D 00 00 00 00 00 81 71 00"), {}}},
    {"FeliCa",
     readFelica,
     3,
     0x0C,
     "AA 00 04 00 00 0C 00 08",
     "AA 00 08 00 00 0C 10 FF FF 00 00 14",
     " Configure registers in the QN480 to serve Felica transaction",
     hex("00 01 0B 01 02 03 04 05 06 07 08"),
     " 01 02 03 04 05 06 07 08 ",
     {{}}},
    {"ISO15693",
     readIso15693,
     4,
     0x0D,
     "AA 00 04 00 00 0D 00 09",
     "AA 00 06 00 00 0D 10 00 00 1B",
     " Configure registers in the QN480 to serve ISO15693 transaction",
     hex("00 11 22 33 44 55 66 77 88"),
     " 11 22 33 44 55 66 77 88 ",
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
    void runPolls(int polls) { run(page().procedure, page().page, page().group, 0x10, polls); }
};

} // namespace

TEST_P(PollingTest, FramesAndMessagesOfARun)
{
    reader.always(page().group, 0x10, 0xE0);
    runPolls(2);
    EXPECT_EQ(frames(), (std::vector<std::string>{page().configureFrame, "AA 00 04 00 00 00 30 34",
                                                  page().pollFrame, page().pollFrame,
                                                  "AA 00 04 00 00 00 31 35"}));
    EXPECT_EQ(view.statusLog, (std::vector<std::string>{page().configureMessage, kCarrierOn,
                                                        kNoCard, kNoCard, kCarrierOff, " "}));
    EXPECT_EQ(view.indicator, "WYH");
    EXPECT_EQ(view.runLog, (std::vector<int>{page().page, -page().page}));
    EXPECT_EQ(flags.readTag.at(static_cast<std::size_t>(page().page)), 0);
}

TEST_P(PollingTest, FailedPollsKeepTheBoxes)
{
    reader.answer(page().group, 0x10, 0x01, page().card);
    for (const Bytes &notCard : page().notCards)
        reader.answer(page().group, 0x10, 0x01, notCard);
    reader.answer(page().group, 0x10, 0xE2);
    reader.alwaysSilent(page().group, 0x10); // the reader stops answering
    const int polls = 1 + static_cast<int>(page().notCards.size()) + 1 + 2;
    runPolls(polls);

    std::vector<PassStart> expected(1 + page().notCards.size(), {kSuccessful, ""});
    expected.insert(expected.begin(), {kCarrierOn, ""});
    expected[1].status = page().cardStatus;
    expected.push_back({kCollision, ""});
    expected.push_back({kCollision, ""});
    ASSERT_EQ(passStarts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(passStarts[i].status, expected[i].status) << "before poll " << i + 1;
    EXPECT_EQ(view.boxLog.size(), page().page == 4 ? 2u : 3u); // only the card wrote them
    EXPECT_EQ(view.indicator.size(), static_cast<std::size_t>(polls) + 1);
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
            flags.readTag.at(static_cast<std::size_t>(page().page)) = 0;
    };
    runPolls(100);
    EXPECT_EQ(reader.count(page().group, 0x10), 1);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(view.statusLog.at(view.statusLog.size() - 3), page().cardStatus);
    EXPECT_EQ(view.indicator, "WH");
}

TEST_P(PollingTest, TwoRunsContinueTheIndicator)
{
    reader.always(page().group, 0x10, 0xE0);
    runPolls(3);
    runPolls(1);
    EXPECT_EQ(view.indicator, "WYWHYH");
}

INSTANTIATE_TEST_SUITE_P(Pages, PollingTest, ::testing::ValuesIn(kPages),
                         [](const auto &param) { return std::string(param.param.name); });

namespace {

struct Shown
{
    std::string status;
    std::map<CardBox, std::string> boxes;
};

// One poll answered with `data`, on a page whose boxes hold "old".
Shown pollOnce(Procedure procedure, int page, std::uint8_t group, const Bytes &data)
{
    CardRig rig;
    rig.reader.always(group, 0x00, 0x01);
    rig.reader.always(0x00, 0x30, 0x01);
    rig.reader.answer(group, 0x10, 0x01, data);
    for (CardBox box :
         {CardBox::BPupi, CardBox::BAppData, CardBox::BInfo, CardBox::FelicaSlot,
          CardBox::FelicaSubResp, CardBox::FelicaUid, CardBox::Iso15693Dsfid, CardBox::Iso15693Uid})
        rig.view.setBoxText(box, "old");
    rig.view.onIndicator = [&] {
        rig.flags.readTag.at(static_cast<std::size_t>(page)) = 0;
    };
    procedure(rig.session);
    Shown shown;
    // What the poll left, before the carrier-off message and the end steps.
    shown.status = rig.view.statusLog.at(rig.view.statusLog.size() - 3);
    for (const auto &[box, text] : rig.view.boxLog)
        shown.boxes[box] = text;
    return shown;
}

} // namespace

TEST(PollingCards, TypeBBoxesKeepTheirTrailingBlank)
{
    Shown shown = pollOnce(readIso14443B, 2, 0x0B, hex("1A 2B 3C 4D 00 00 00 00 00 81 71"));
    EXPECT_EQ(shown.boxes[CardBox::BPupi], "1A 2B 3C 4D ");
    EXPECT_EQ(shown.boxes[CardBox::BAppData], "00 00 00 00 ");
    EXPECT_EQ(shown.boxes[CardBox::BInfo], "00 81 71 ");
    EXPECT_EQ(shown.status, " 1A 2B 3C 4D ");
    EXPECT_EQ(shown.status.size(), 13u);
}

TEST(PollingCards, FelicaIdentifierEndsAtDataByteTwo)
{
    const struct
    {
        const char *data;
        const char *slot, *subResp, *uid, *status;
    } cases[] = {
        {"00 01 0B 01 02 03 04 05 06 07 08", "00 ", "01 ", "01 02 03 04 05 06 07 08 ",
         " 01 02 03 04 05 06 07 08 "},
        {"00 01 00 01 02 03", "old", "old", "old", "carrier"}, // end index 0: nothing shown
        {"05 06 01 BB", "05 ", "06 ", "", " "},
        {"05 06 02", "05 ", "06 ", "", " "},
        {"05 06 03 BB", "05 ", "06 ", "", " "},
        {"00 01 0B", "00 ", "01 ", "00 00 00 00 00 00 00 00 ", " 00 00 00 00 00 00 00 00 "},
        {"00 01 05 01 02 03 04", "00 ", "01 ", "01 02 ", " 01 02 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        Shown shown = pollOnce(readFelica, 3, 0x0C, hex(c.data));
        EXPECT_EQ(shown.boxes[CardBox::FelicaSlot], c.slot);
        EXPECT_EQ(shown.boxes[CardBox::FelicaSubResp], c.subResp);
        EXPECT_EQ(shown.boxes[CardBox::FelicaUid], c.uid);
        EXPECT_EQ(shown.status, std::string(c.status) == "carrier" ? kCarrierOn : c.status);
    }
}

TEST(PollingCards, Iso15693ShowsNineBytes)
{
    const struct
    {
        const char *data;
        const char *dsfid, *uid;
    } cases[] = {
        {"00 11 22 33 44 55 66 77 88", "00 ", "11 22 33 44 55 66 77 88 "},
        {"3C", "3C ", "00 00 00 00 00 00 00 00 "},
        {"01 11 22 33 44 55 66 77 88 99 BB", "01 ", "11 22 33 44 55 66 77 88 "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data);
        Shown shown = pollOnce(readIso15693, 4, 0x0D, hex(c.data));
        EXPECT_EQ(shown.boxes[CardBox::Iso15693Dsfid], c.dsfid);
        EXPECT_EQ(shown.boxes[CardBox::Iso15693Uid], c.uid);
        EXPECT_EQ(shown.boxes[CardBox::Iso15693Uid].size(), 24u);
        EXPECT_EQ(shown.status, std::string(" ") + c.uid);
    }
}
