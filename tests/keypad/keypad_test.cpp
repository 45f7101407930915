// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad.h"

#include "fake_keypad_view.h"
#include "fake_reader.h"
#include "keypad_settings.h"
#include "link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qn480 {
namespace {

using namespace qn480::testing;
using enum KeypadCheck;
using ::testing::ElementsAre;
using Command = std::pair<std::uint8_t, std::uint8_t>;

constexpr std::uint8_t kGroup = 0x00;

const CheckedBoxes kEveryBox{Auto,    Beep,     Led,     Same,   Type43A, Type43B,  Type43C,
                             Type693, TypeGuid, RevByte, RevBit, Comma,   Brackets, Quotes,
                             Space,   Tab,      Down,    Ctrl,   Enter};

using Group = std::vector<KeypadCheck>;
const Group kModeBoxes{Auto, Beep, Led, Same};
const Group kTypeBoxes{Type43A, Type43B, Type43C, Type693, TypeGuid};
const Group kFormatBoxes{RevByte, RevBit, Comma, Brackets, Quotes, Space, Tab, Down, Ctrl, Enter};

// `base` with the boxes of one group box set as in `shown`.
CheckedBoxes withGroup(CheckedBoxes base, const Group &group, CheckedBoxes shown)
{
    for (KeypadCheck box : group)
        base.set(box, shown.has(box));
    return base;
}

class KeypadTest : public ::testing::Test
{
protected:
    KeypadTest() { link.attach(reader.port()); }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
    FakeKeypadView view;
    Keypad keypad{link, view};
};

TEST_F(KeypadTest, SetsSendWhatTheControlsShow)
{
    for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x15})
        reader.always(kGroup, code, 0x01, {0xEE, 0x00}); // a Set takes any data with status 1
    const auto sent = [&](KeypadSetting setting) {
        reader.clearLog();
        keypad.set(setting);
        return reader.requests().size() == 1 ? hexText(reader.requests()[0]) : std::string();
    };

    view.setChecked({Auto, Beep, Led, Same, Type43B});
    EXPECT_EQ(sent(KeypadSetting::Mode), "AA 00 05 00 00 00 11 0F 1B");
    EXPECT_EQ(view.status(), " Set Mode OK!!");

    view.setChecked({Type43A, TypeGuid, Auto});
    EXPECT_EQ(sent(KeypadSetting::Type), "AA 00 05 00 00 00 13 11 07");
    EXPECT_EQ(view.status(), " Set Type OK!!");

    view.setChecked({RevBit, Comma, Enter}); // 16H, as the page starts
    EXPECT_EQ(sent(KeypadSetting::AddType), "AA 00 07 00 00 00 1B 09 04 81 90");
    EXPECT_EQ(view.checked(), (CheckedBoxes{RevBit, Comma, Enter}));
    EXPECT_EQ(view.status(), " Set AddType OK!!");

    view.setPosition(KeypadTiming::ScanTime, 200);
    EXPECT_EQ(sent(KeypadSetting::ScanTime), "AA 00 05 00 00 00 15 C8 D8");
    EXPECT_EQ(view.status(), " Set ScanTime OK!!");
}

TEST_F(KeypadTest, GetRepliesCheckExactlyTheirBoxes)
{
    struct Case
    {
        KeypadSetting setting;
        std::uint8_t code;
        Bytes data;
        const Group &group;
        CheckedBoxes shown;
        int format; // of the radio buttons after the Get
        const char *ok;
    };
    const Case cases[] = {
        {KeypadSetting::Mode, 0x10, {0x05}, kModeBoxes, {Auto, Led}, 12, " Get Mode OK!!"},
        {KeypadSetting::Mode, 0x10, {0xF0}, kModeBoxes, {}, 12, " Get Mode OK!!"},
        {KeypadSetting::Type,
         0x12,
         {0xFF},
         kTypeBoxes,
         {Type43A, Type43B, Type43C, Type693, TypeGuid},
         12,
         " Get Type OK!!"},
        {KeypadSetting::AddType,
         0x1A,
         {0x05, 0x01, 0x80},
         kFormatBoxes,
         {Enter},
         5,
         " Get AddType OK!!"},
        {KeypadSetting::AddType,
         0x1A,
         {0x0B, 0x06, 0x00},
         kFormatBoxes,
         {RevByte, RevBit},
         5,
         " Get AddType OK!!"},
        {KeypadSetting::AddType,
         0x1A,
         {0x0C, 0x04, 0x41},
         kFormatBoxes,
         {RevBit, Comma, Ctrl},
         12,
         " Get AddType OK!!"},
    };
    for (const Case &c : cases) {
        // Every box checked and 32H beforehand: only the reply's boxes may stay checked.
        view.setChecked(kEveryBox);
        view.selectFormat(12);
        reader.answer(kGroup, c.code, 0x01, c.data);
        keypad.get(c.setting);
        EXPECT_EQ(view.checked(), withGroup(kEveryBox, c.group, c.shown)) << hexText(c.data);
        EXPECT_EQ(view.formatCode(), c.format) << hexText(c.data);
        EXPECT_EQ(view.status(), c.ok);
    }
}

TEST_F(KeypadTest, TimingGetMovesItsScrollBarOnlyWhenAccepted)
{
    view.setPosition(KeypadTiming::SendTime, 77);
    reader.answer(kGroup, 0x18, 0x01, {0x00});
    keypad.get(KeypadSetting::SendTime);
    EXPECT_EQ(hexText(reader.requests().at(0)), "AA 00 04 00 00 00 18 1C");
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 0);
    EXPECT_EQ(view.status(), " Get SendTime OK!!");

    view.setPosition(KeypadTiming::SameTime, 42);
    reader.answer(kGroup, 0x16, 0x22);
    keypad.get(KeypadSetting::SameTime);
    EXPECT_EQ(view.position(KeypadTiming::SameTime), 42);
    EXPECT_EQ(view.status(), " Device received incorrect parameter.");

    reader.silence(kGroup, 0x14);
    view.setPosition(KeypadTiming::ScanTime, 200);
    keypad.get(KeypadSetting::ScanTime);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 200);
    EXPECT_EQ(view.status(), " Get ScanTime Error!!");

    reader.answer(kGroup, 0x14, 0x01, {0xFF});
    keypad.get(KeypadSetting::ScanTime);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 255);
    EXPECT_EQ(view.status(), " Get ScanTime OK!!");
}

TEST_F(KeypadTest, RepliesOfTheWrongLengthAreRefused)
{
    struct Case
    {
        KeypadSetting setting;
        std::uint8_t code;
        Bytes data;
        CheckedBoxes after;
        int format;
        const char *error;
    };
    const Case cases[] = {
        {KeypadSetting::Mode,
         0x10,
         {},
         withGroup(kEveryBox, kModeBoxes, {}),
         12,
         " Operation is successful."},
        {KeypadSetting::Type,
         0x12,
         {0x1F, 0x00},
         withGroup(kEveryBox, kTypeBoxes, {}),
         12,
         " Operation is successful."},
        {KeypadSetting::AddType,
         0x1A,
         {0x0C},
         withGroup(kEveryBox, kFormatBoxes, {}),
         5,
         " Operation is successful."},
        {KeypadSetting::AddType,
         0x1A,
         {0x0C, 0x04, 0x41, 0x00},
         withGroup(kEveryBox, kFormatBoxes, {}),
         5,
         " Operation is successful."},
        {KeypadSetting::SendTime, 0x18, {0x20, 0x20}, kEveryBox, 12, " Operation is successful."},
    };
    for (const Case &c : cases) {
        view.setChecked(kEveryBox);
        view.selectFormat(12);
        reader.answer(kGroup, c.code, 0x01, c.data);
        keypad.get(c.setting);
        EXPECT_EQ(view.checked(), c.after) << hexText(c.data);
        EXPECT_EQ(view.formatCode(), c.format) << hexText(c.data);
        EXPECT_EQ(view.status(), c.error) << hexText(c.data);
    }
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 10);
}

TEST_F(KeypadTest, ReaderErrorsShowTheReadersTextElseTheOperationsOwn)
{
    reader.answer(kGroup, 0x10, 0x21);
    keypad.get(KeypadSetting::Mode);
    EXPECT_EQ(view.status(), " Device received undefined command.");

    reader.answer(kGroup, 0x1B, 0x22);
    keypad.set(KeypadSetting::AddType);
    EXPECT_EQ(view.status(), " Device received incorrect parameter.");

    reader.answer(kGroup, 0x13, 0x31); // a status without a text
    keypad.set(KeypadSetting::Type);
    EXPECT_EQ(view.status(), " Set Type Error!!");

    reader.silence(kGroup, 0x17);
    keypad.set(KeypadSetting::SameTime);
    EXPECT_EQ(view.status(), " Set SameCardTime Error!!");
}

TEST_F(KeypadTest, SetAddTypeNormalisesTheControlsBeforeSending)
{
    reader.alwaysSilent(kGroup, 0x1B);

    view.deselectFormat();
    view.setChecked({RevByte, RevBit, Auto});
    keypad.set(KeypadSetting::AddType);
    EXPECT_EQ(hexText(reader.requests().at(0)), "AA 00 07 00 00 00 1B 09 02 80 97");
    // The page shows what was sent, whatever the outcome.
    EXPECT_EQ(view.formatCode(), 9);
    EXPECT_EQ(view.checked(), (CheckedBoxes{RevByte, Enter, Auto}));
    EXPECT_EQ(view.status(), " Set AddType Error!!");

    reader.clearLog();
    view.selectFormat(4);
    view.setChecked({Space});
    keypad.set(KeypadSetting::AddType);
    EXPECT_EQ(hexText(reader.requests().at(0)), "AA 00 07 00 00 00 1B 04 01 08 11");
    EXPECT_EQ(view.formatCode(), 4);
    EXPECT_EQ(view.checked(), CheckedBoxes{Space});
}

TEST_F(KeypadTest, PageShownWhileDisconnectedFailsAtOnce)
{
    link.close();
    view.setChecked(kEveryBox);
    view.selectFormat(12);
    view.setPosition(KeypadTiming::SendTime, 1);
    view.setPosition(KeypadTiming::ScanTime, 2);
    view.setPosition(KeypadTiming::SameTime, 3);
    const auto start = clock.now();

    keypad.pageShown();

    EXPECT_EQ(clock.now(), start);
    EXPECT_TRUE(reader.requests().empty());
    EXPECT_EQ(view.checked(), CheckedBoxes{});
    EXPECT_EQ(view.formatCode(), 5);
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 1);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 2);
    EXPECT_EQ(view.position(KeypadTiming::SameTime), 3);
    EXPECT_THAT(view.statusLog(),
                ElementsAre(" Get HID Keyboard", " Get Mode Error!!",
                            " Get HID Keyboard read card type", " Get Type Error!!",
                            " Get HID Keyboard send type", " Get AddType Error!!",
                            " Get Keypad_KeySendTime", " Get SendTime Error!!",
                            " Get Keypad_ScanTime", " Get ScanTime Error!!",
                            " Get Keypad_SameCardTime", " Get SameCardTime Error!!", ""));
}

TEST_F(KeypadTest, PageShownReadsAllSixAndGoesOnAfterAFailure)
{
    reader.answer(kGroup, 0x10, 0x01, {0x09});
    reader.answer(kGroup, 0x12, 0x21);
    reader.answer(kGroup, 0x1A, 0x01, {0x07, 0x04, 0x12});
    reader.silence(kGroup, 0x18);
    reader.answer(kGroup, 0x14, 0x01, {0x32});
    reader.answer(kGroup, 0x16, 0x01, {0x64});
    view.setChecked({Type43A});

    keypad.pageShown();

    EXPECT_THAT(reader.commands(),
                ElementsAre(Command{0, 0x10}, Command{0, 0x12}, Command{0, 0x1A}, Command{0, 0x18},
                            Command{0, 0x14}, Command{0, 0x16}));
    EXPECT_EQ(view.checked(), (CheckedBoxes{Auto, Same, RevBit, Brackets, Tab}));
    EXPECT_EQ(view.formatCode(), 7);
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 10);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 50);
    EXPECT_EQ(view.position(KeypadTiming::SameTime), 100);
    EXPECT_EQ(view.statusLog().at(3), " Device received undefined command.");
    EXPECT_EQ(view.statusLog().at(7), " Get SendTime Error!!");
    // Cleared boxes must not pass for a reading: the first failure stands.
    EXPECT_EQ(view.status(), " Device received undefined command.");

    // All six accepted: the page ends quiet. A reader gone silent: its failure stands.
    for (bool answering : {true, false}) {
        reader.clearLog();
        for (std::uint8_t code : {0x10, 0x12, 0x18, 0x14, 0x16})
            answering ? reader.answer(kGroup, code, 0x01, {0x01}) : reader.silence(kGroup, code);
        answering ? reader.answer(kGroup, 0x1A, 0x01, {0x0C, 0x01, 0x80})
                  : reader.silence(kGroup, 0x1A);
        keypad.pageShown();
        EXPECT_EQ(view.status(), answering ? "" : " Get Mode Error!!");
    }
}

TEST_F(KeypadTest, DefaultsAreSentThenReadBack)
{
    for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x19, 0x15, 0x17})
        reader.always(kGroup, code, 0x01);
    // The reader reports something else than it was sent: the page must show the report.
    reader.answer(kGroup, 0x10, 0x01, {0x03});
    reader.answer(kGroup, 0x12, 0x01, {0x1F});
    reader.answer(kGroup, 0x1A, 0x01, {0x0C, 0x01, 0x80});
    reader.answer(kGroup, 0x18, 0x01, {0x0A});
    reader.answer(kGroup, 0x14, 0x01, {0x05});
    reader.answer(kGroup, 0x16, 0x21);
    view.setChecked({RevByte, Comma, Ctrl});
    view.deselectFormat();
    view.setPosition(KeypadTiming::SameTime, 99);

    keypad.restoreDefaults();

    const auto &requests = reader.requests();
    ASSERT_EQ(requests.size(), 12u);
    const char *const sets[] = {
        "AA 00 05 00 00 00 11 0F 1B",       "AA 00 05 00 00 00 13 1F 09",
        "AA 00 07 00 00 00 1B 05 01 80 98", "AA 00 05 00 00 00 19 0A 16",
        "AA 00 05 00 00 00 15 05 15",       "AA 00 05 00 00 00 17 0F 1D",
    };
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(hexText(requests[static_cast<std::size_t>(i)]), sets[i]);
    const auto commands = reader.commands();
    EXPECT_THAT(std::vector<Command>(commands.begin() + 6, commands.end()),
                ElementsAre(Command{0, 0x10}, Command{0, 0x12}, Command{0, 0x1A}, Command{0, 0x18},
                            Command{0, 0x14}, Command{0, 0x16}));

    EXPECT_THAT(
        std::vector<std::string>(view.statusLog().begin(), view.statusLog().begin() + 12),
        ElementsAre(" Set HID Keyboard", " Set Mode OK!!", " Set HID Keyboard read card type",
                    " Set Type OK!!", " Set HID Keyboard read card type", " Set AddType OK!!",
                    " Set Keypad_KeySendTime ", " Set SendTime OK!!", " Set Keypad_ScanTime ",
                    " Set ScanTime OK!!", " Set Keypad_SameCardTime ", " Set SameCardTime OK!!"));
    EXPECT_EQ(view.statusLog().at(view.statusLog().size() - 2),
              " Device received undefined command.");
    EXPECT_EQ(view.status(), " Device received undefined command.");
    EXPECT_EQ(view.checked(),
              (CheckedBoxes{Auto, Beep, Type43A, Type43B, Type43C, Type693, TypeGuid, Enter}));
    EXPECT_EQ(view.formatCode(), 12);
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 10);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 5);
    EXPECT_EQ(view.position(KeypadTiming::SameTime), 15); // its Get failed
}

// Showing the page from the window's pump while a card procedure waits for its answer.
TEST_F(KeypadTest, PageShownInsideAWaitingTransactionReadsTheReadersAnswers)
{
    reader.setDelay(20ms); // long enough for the pump to run during the card command
    reader.answer(0x0A, 0x10, 0x01, {0x04, 0x00});
    reader.answer(kGroup, 0x10, 0x01, {0x0C});
    reader.answer(kGroup, 0x12, 0x01, {0x01});
    reader.answer(kGroup, 0x1A, 0x01, {0x01, 0x02, 0x40});
    reader.answer(kGroup, 0x18, 0x01, {0x11});
    reader.answer(kGroup, 0x14, 0x01, {0x22});
    reader.answer(kGroup, 0x16, 0x01, {0x33});
    bool shown = false;
    link.setPump([&] {
        if (!shown) {
            shown = true;
            keypad.pageShown();
        }
    });

    const Reply card = link.transact(0x0A, 0x10);

    ASSERT_TRUE(shown);
    EXPECT_EQ(card.result, TransactionResult::Frame);
    EXPECT_EQ(card.response.Status, 0x01);
    ASSERT_EQ(card.response.DataLength, 2);
    EXPECT_EQ(card.response.Data[0], 0x04);
    EXPECT_EQ(view.checked(), (CheckedBoxes{Led, Same, Type43A, RevByte, Ctrl}));
    EXPECT_EQ(view.formatCode(), 1);
    EXPECT_EQ(view.position(KeypadTiming::SendTime), 0x11);
    EXPECT_EQ(view.position(KeypadTiming::ScanTime), 0x22);
    EXPECT_EQ(view.position(KeypadTiming::SameTime), 0x33);
    for (const std::string &line : view.statusLog())
        EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

// A handler the window runs right after a Get may send a command of its own; the Get still
// judges its own reply.
TEST_F(KeypadTest, GetJudgesItsOwnReplyWhateverThePumpSendsAfterIt)
{
    reader.setDelay(0ns); // answered before the Get's first look, so the pump runs only after
    reader.answer(kGroup, 0x10, 0x01, {0x05});
    reader.always(0x0A, 0x10, 0x21);
    link.setPump([&] {
        if (reader.count(kGroup, 0x10) == 1 && reader.count(0x0A, 0x10) == 0)
            link.transact(0x0A, 0x10);
    });

    keypad.get(KeypadSetting::Mode);

    EXPECT_EQ(reader.count(0x0A, 0x10), 1);
    EXPECT_EQ(link.LastResponse().Status, 0x21);
    EXPECT_EQ(view.checked(), (CheckedBoxes{Auto, Led}));
    EXPECT_EQ(view.status(), " Get Mode OK!!");
}

} // namespace
} // namespace qn480
