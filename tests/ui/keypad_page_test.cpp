// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_rig.h"

#include <QButtonGroup>
#include <QLabel>
#include <QScrollBar>

#include <cstdint>
#include <functional>
#include <ranges>
#include <string>
#include <string_view>

using namespace std::chrono_literals;

namespace qn480::testing {
namespace {

using Command = std::pair<std::uint8_t, std::uint8_t>;

const char *const kBoxes[] = {"chk01_Auto",     "chk01_Beep",    "chk01_Led",    "chk01_Same",
                              "chk02_43A",      "chk02_43B",     "chk02_43C",    "chk02_693",
                              "chk02_Guid",     "chk03_RevByte", "chk03_RevBit", "chk03_Comma",
                              "chk03_Brackets", "chk03_Quotes",  "chk03_Space",  "chk03_Tab",
                              "chk03_Down",     "chk03_Ctrl",    "chk03_Enter"};

// The six Gets of the page answered once each: Mode 0F, Type 1F, AddType 16H with Enter,
// the timings 10.
void answerEveryGet(FakeReader &reader)
{
    reader.answer(0x00, 0x10, 1, hex("0F"));
    reader.answer(0x00, 0x12, 1, hex("1F"));
    reader.answer(0x00, 0x1A, 1, hex("09 00 80"));
    for (std::uint8_t code : {0x18, 0x14, 0x16})
        reader.answer(0x00, code, 1, hex("0A"));
}

class KeypadPageTest : public WindowRig
{
protected:
    // Checks the boxes named, blank-separated, and unchecks every other.
    void checkOnly(std::string_view names)
    {
        for (const char *name : kBoxes)
            child<QAbstractButton>(name)->setChecked(false);
        for (const auto part : std::views::split(names, ' ')) {
            if (!part.empty())
                child<QAbstractButton>(std::string(part.begin(), part.end()).c_str())
                    ->setChecked(true);
        }
    }

    // The boxes checked, blank-separated, in the page's order.
    std::string checked()
    {
        std::string names;
        for (const char *name : kBoxes) {
            if (child<QAbstractButton>(name)->isChecked())
                names += (names.empty() ? "" : " ") + std::string(name);
        }
        return names;
    }
};

TEST_F(KeypadPageTest, ShownWhileDisconnectedResetsTheBoxesAndKeepsTheTimings)
{
    TfrmMain &form = window();
    checkOnly("chk01_Auto chk02_Guid chk03_RevBit chk03_Enter");
    child<QAbstractButton>("rbn03_32H")->setChecked(true);
    // A page step is five, a single step one; the panel shows where the bar stands.
    child<QScrollBar>("sbScanTime")->setValue(34);
    child<QScrollBar>("sbScanTime")->triggerAction(QAbstractSlider::SliderPageStepSub);
    child<QScrollBar>("sbScanTime")->triggerAction(QAbstractSlider::SliderSingleStepSub);

    showPage("ts_SetKeypad");

    EXPECT_EQ(checked(), "");
    EXPECT_TRUE(child<QAbstractButton>("rbn03_8H")->isChecked());
    EXPECT_EQ(child<QScrollBar>("sbScanTime")->value(), 28);
    EXPECT_EQ(child<QLabel>("pnlScanTime")->text(), "28");
    EXPECT_EQ(form.statusText(), "");
    // Without a port nothing waited for an answer.
    EXPECT_EQ(clock.now(), FakeClock().now());
}

TEST_F(KeypadPageTest, ShownWhileConnectedRunsTheSixGets)
{
    connectReader();
    showPage("ts_SetKeypad");
    const std::vector<Command> gets{{0x00, 0x10}, {0x00, 0x12}, {0x00, 0x1A},
                                    {0x00, 0x18}, {0x00, 0x14}, {0x00, 0x16}};
    EXPECT_EQ(reader.commands(), gets);
    // The reader answered none: the first failure stands rather than an empty line.
    EXPECT_EQ(window().statusText(), " Get Mode Error!!");

    // Showing it again reads again, and so does F5; moving a timing or leaving the page
    // sends nothing.
    reader.clearLog();
    for (const char *name : {"sbSendTime", "sbScanTime", "sbSameTime"})
        child<QScrollBar>(name)->setValue(255);
    showPage("ts_Felica");
    EXPECT_TRUE(reader.commands().empty());
    showPage("ts_SetKeypad");
    EXPECT_EQ(reader.commands(), gets);
    window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window()));
    reader.clearLog();
    QTest::keyClick(&window(), Qt::Key_F5);
    EXPECT_EQ(reader.commands(), gets);
}

// Each button sends its own command, with its progress text while the command waits, then
// its outcome. Which text a failure shows is the keypad's rule; the page shows it once.
TEST_F(KeypadPageTest, EveryButtonSendsItsCommandWithItsProgressThenItsOutcome)
{
    connectReader();
    showPage("ts_SetKeypad");
    const struct
    {
        const char *button;
        std::uint8_t code;
        const char *progress;
        const char *ok;
    } cases[] = {
        {"btn_SetKeypadG01", 0x10, " Get HID Keyboard", " Get Mode OK!!"},
        {"btn_SetKeypadS01", 0x11, " Set HID Keyboard", " Set Mode OK!!"},
        {"btn_SetKeypadG02", 0x12, " Get HID Keyboard read card type", " Get Type OK!!"},
        {"btn_SetKeypadS02", 0x13, " Set HID Keyboard read card type", " Set Type OK!!"},
        {"btn_SetKeypadG03", 0x1A, " Get HID Keyboard send type", " Get AddType OK!!"},
        {"btn_SetKeypadS03", 0x1B, " Set HID Keyboard read card type", " Set AddType OK!!"},
        {"btn_SetKeypadG04", 0x18, " Get Keypad_KeySendTime", " Get SendTime OK!!"},
        {"btn_SetKeypadS04", 0x19, " Set Keypad_KeySendTime ", " Set SendTime OK!!"},
        {"btn_SetKeypadG05", 0x14, " Get Keypad_ScanTime", " Get ScanTime OK!!"},
        {"btn_SetKeypadS05", 0x15, " Set Keypad_ScanTime ", " Set ScanTime OK!!"},
        {"btn_SetKeypadG06", 0x16, " Get Keypad_SameCardTime", " Get SameCardTime OK!!"},
        {"btn_SetKeypadS06", 0x17, " Set Keypad_SameCardTime ", " Set SameCardTime OK!!"},
    };
    QStringList shown;
    reader.onRequest([&](const Bytes &) { shown << window().statusText(); });
    for (const auto &c : cases) {
        SCOPED_TRACE(c.button);
        const bool get = (c.code & 1) == 0;
        reader.answer(0x00, c.code, 0x01,
                      c.code == 0x1A ? hex("05 01 80")
                      : get          ? hex("03")
                                     : Bytes{});
        reader.clearLog();
        shown.clear();
        click(c.button);
        EXPECT_EQ(reader.commands(), std::vector<Command>{Command(0x00, c.code)});
        EXPECT_EQ(shown, QStringList{c.progress});
        EXPECT_EQ(window().statusText(), c.ok);
    }
    reader.onRequest({});
    // Keypad operations leave the port row usable.
    EXPECT_TRUE(enabled("pnlCounect"));
}

// Every box checked and 32H beforehand: a Get leaves checked only what its reply sets, and
// a refused reply clears the boxes of its group. Which text a refusal shows is the keypad's.
TEST_F(KeypadPageTest, GetRepliesShowExactlyTheirControls)
{
    connectReader();
    showPage("ts_SetKeypad");
    const struct
    {
        const char *button;
        std::uint8_t code;
        Bytes data;
        std::string checked; // afterwards; the rest of the page as it was
        const char *format;
    } cases[] = {
        {"btn_SetKeypadG01", 0x10, hex("05"), "chk01_Auto chk01_Led", "rbn03_32H"},
        {"btn_SetKeypadG02", 0x12, hex("FF"), "chk02_43A chk02_43B chk02_43C chk02_693 chk02_Guid",
         "rbn03_32H"},
        {"btn_SetKeypadG03", 0x1A, hex("05 01 80"), "chk03_Enter", "rbn03_8H"},
        // A code without a radio button leaves 8H; the reversal bits are read one by one.
        {"btn_SetKeypadG03", 0x1A, hex("0B 06 00"), "chk03_RevByte chk03_RevBit", "rbn03_8H"},
        {"btn_SetKeypadG03", 0x1A, hex("0C 04 41"), "chk03_RevBit chk03_Comma chk03_Ctrl",
         "rbn03_32H"},
        // Status 1 with the wrong length: refused.
        {"btn_SetKeypadG01", 0x10, {}, "", "rbn03_32H"},
        {"btn_SetKeypadG03", 0x1A, hex("0C 04 41 00"), "", "rbn03_8H"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(hexText(c.data));
        for (const char *name : kBoxes)
            child<QAbstractButton>(name)->setChecked(true);
        child<QAbstractButton>("rbn03_32H")->setChecked(true);
        child<QScrollBar>("sbSendTime")->setValue(77);
        reader.answer(0x00, c.code, 0x01, c.data);
        click(c.button);
        // Only the boxes of the Get's own group may change.
        std::string expected;
        for (const char *name : kBoxes) {
            const bool ours = std::string_view(name).substr(3, 2) == (c.code == 0x10   ? "01"
                                                                      : c.code == 0x12 ? "02"
                                                                                       : "03");
            if (!ours || c.checked.find(name) != std::string::npos)
                expected += (expected.empty() ? "" : " ") + std::string(name);
        }
        EXPECT_EQ(checked(), expected);
        EXPECT_TRUE(child<QAbstractButton>(c.format)->isChecked());
        EXPECT_EQ(child<QScrollBar>("sbSendTime")->value(), 77);
    }

    // A timing moves its scroll bar and panel only when its reply is accepted.
    reader.answer(0x00, 0x18, 0x01, hex("00"));
    click("btn_SetKeypadG04");
    EXPECT_EQ(child<QScrollBar>("sbSendTime")->value(), 0);
    EXPECT_EQ(child<QLabel>("pnlSendTime")->text(), "0");
    child<QScrollBar>("sbSameTime")->setValue(42);
    reader.answer(0x00, 0x16, 0x22);
    click("btn_SetKeypadG06");
    EXPECT_EQ(child<QScrollBar>("sbSameTime")->value(), 42);
}

// A Set sends what the controls show, after normalising them as the page shows them:
// 16H when no format is selected, ReverseBit dropped beside ReverseByte, Enter when no
// addition is checked.
TEST_F(KeypadPageTest, SetsSendWhatTheControlsShowAfterNormalising)
{
    connectReader();
    answerEveryGet(reader);
    showPage("ts_SetKeypad");
    const struct
    {
        const char *button;
        const char *checked; // of every box on the page, before
        const char *format;  // nullptr: none selected
        int scanTime;
        const char *request;
        const char *after; // the AddType boxes checked afterwards
        const char *formatAfter;
    } cases[] = {
        {"btn_SetKeypadS01", "chk01_Auto chk01_Beep chk01_Led chk01_Same chk02_43B", "rbn03_16H",
         10, "AA 00 05 00 00 00 11 0F 1B", "", "rbn03_16H"},
        {"btn_SetKeypadS02", "chk01_Auto chk02_43A chk02_Guid", "rbn03_16H", 10,
         "AA 00 05 00 00 00 13 11 07", "", "rbn03_16H"},
        {"btn_SetKeypadS05", "", "rbn03_16H", 200, "AA 00 05 00 00 00 15 C8 D8", "", "rbn03_16H"},
        {"btn_SetKeypadS03", "chk03_RevBit chk03_Comma chk03_Enter", "rbn03_16H", 10,
         "AA 00 07 00 00 00 1B 09 04 81 90", "chk03_RevBit chk03_Comma chk03_Enter", "rbn03_16H"},
        {"btn_SetKeypadS03", "chk01_Auto chk03_RevByte chk03_RevBit", nullptr, 10,
         "AA 00 07 00 00 00 1B 09 02 80 97", "chk03_RevByte chk03_Enter", "rbn03_16H"},
        {"btn_SetKeypadS03", "chk03_Space", "rbn03_8D", 10, "AA 00 07 00 00 00 1B 04 01 08 11",
         "chk03_Space", "rbn03_8D"},
        {"btn_SetKeypadS03", "chk03_RevByte chk03_RevBit chk03_Quotes", "rbn03_32H", 10,
         "AA 00 07 00 00 00 1B 0C 02 04 16", "chk03_RevByte chk03_Quotes", "rbn03_32H"},
        {"btn_SetKeypadS03",
         "chk03_Comma chk03_Brackets chk03_Quotes chk03_Space chk03_Tab chk03_Down chk03_Ctrl "
         "chk03_Enter",
         "rbn03_6H", 10, "AA 00 07 00 00 00 1B 03 01 FF E1",
         "chk03_Comma chk03_Brackets chk03_Quotes chk03_Space chk03_Tab chk03_Down chk03_Ctrl "
         "chk03_Enter",
         "rbn03_6H"},
    };
    auto *formats = child<QAbstractButton>("rbn03_16H")->group();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        checkOnly(c.checked);
        if (c.format) {
            child<QAbstractButton>(c.format)->setChecked(true);
        } else if (QAbstractButton *selected = formats ? formats->checkedButton() : nullptr) {
            formats->setExclusive(false);
            selected->setChecked(false);
            formats->setExclusive(true);
        }
        child<QScrollBar>("sbScanTime")->setValue(c.scanTime);
        reader.clearLog();
        reader.silence(0x00, 0x1B); // whatever the outcome, the page shows what was sent
        click(c.button);
        ASSERT_EQ(reader.requests().size(), 1u);
        EXPECT_EQ(hexText(reader.requests()[0]), c.request);
        // Sets leave the Mode and Type boxes alone.
        std::string after = checked();
        after.erase(0, std::min(after.find("chk03_"), after.size()));
        EXPECT_EQ(after, c.after);
        EXPECT_TRUE(child<QAbstractButton>(c.formatAfter)->isChecked());
    }
}

// The writes and reads are the keypad's; the page shows the progress of each write, then
// what the reader reports, and a setting whose Get failed keeps its default.
TEST_F(KeypadPageTest, DefaultShowsWhatTheReaderReportsBack)
{
    connectReader();
    showPage("ts_SetKeypad");
    for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x19, 0x15, 0x17})
        reader.answer(0x00, code, 0x01);
    reader.answer(0x00, 0x10, 0x01, hex("03"));
    reader.answer(0x00, 0x12, 0x01, hex("1F"));
    reader.answer(0x00, 0x1A, 0x01, hex("0C 01 80"));
    reader.answer(0x00, 0x18, 0x01, hex("0A"));
    reader.answer(0x00, 0x14, 0x01, hex("05"));
    reader.answer(0x00, 0x16, 0x21);
    for (const char *name : {"chk03_RevByte", "chk03_Comma", "chk03_Ctrl"})
        child<QAbstractButton>(name)->setChecked(true);
    child<QScrollBar>("sbSameTime")->setValue(99);
    QStringList shown;
    reader.onRequest([&](const Bytes &) { shown << window().statusText(); });

    click("Button1");

    reader.onRequest({});
    EXPECT_EQ(shown.mid(0, 6),
              QStringList({" Set HID Keyboard", " Set HID Keyboard read card type",
                           " Set HID Keyboard read card type", " Set Keypad_KeySendTime ",
                           " Set Keypad_ScanTime ", " Set Keypad_SameCardTime "}));
    EXPECT_EQ(window().statusText(), " Device received undefined command.");
    EXPECT_EQ(checked(), "chk01_Auto chk01_Beep chk02_43A chk02_43B chk02_43C chk02_693 "
                         "chk02_Guid chk03_Enter");
    EXPECT_TRUE(child<QAbstractButton>("rbn03_32H")->isChecked());
    EXPECT_EQ(child<QScrollBar>("sbSendTime")->value(), 10);
    EXPECT_EQ(child<QScrollBar>("sbScanTime")->value(), 5);
    EXPECT_EQ(child<QScrollBar>("sbSameTime")->value(), 15);
    EXPECT_EQ(child<QLabel>("pnlSameTime")->text(), "15");
}

TEST_F(KeypadPageTest, StormsStartNothingWhileAKeypadOperationRuns)
{
    connectReader();
    showPage("ts_SetKeypad");
    reader.setDelay(50ms); // the window runs during every wait
    const std::function<void()> reshow = [this] {
        showPage("ts_Felica");
        showPage("ts_SetKeypad");
    };
    const struct
    {
        const char *name;
        std::function<void()> action; // what starts the operation, and what the storm repeats
        std::size_t commands;         // those of the one operation
    } cases[] = {
        {"default", [this] { click("Button1"); }, 12},
        {"Get Mode", [this] { click("btn_SetKeypadG01"); }, 1},
        {"page shown again", reshow, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        reader.clearLog();
        // Where on the stack each click of the storm is handled; nesting makes it deeper.
        std::uintptr_t shallowest = 0;
        std::uintptr_t deepest = UINTPTR_MAX;
        int handled = 0;
        reader.onRequest([&, stormed = false](const Bytes &) mutable {
            if (std::exchange(stormed, true))
                return;
            for (int i = 0; i < 1000; ++i) {
                QTimer::singleShot(0, &window(), [&] {
                    const char here = 0;
                    const auto at = reinterpret_cast<std::uintptr_t>(&here);
                    shallowest = std::max(shallowest, at);
                    deepest = std::min(deepest, at);
                    ++handled;
                    c.action();
                });
            }
        });
        c.action();
        reader.onRequest({});
        QCoreApplication::processEvents(); // anything the storm left behind

        EXPECT_EQ(handled, 1000);
        EXPECT_EQ(reader.commands().size(), c.commands);
        EXPECT_LT(shallowest - deepest, 64u * 1024u);
    }
}

TEST_F(KeypadPageTest, DefaultSendsTheDefaultsWhateverTheBoxesShowMeanwhile)
{
    connectReader();
    showPage("ts_SetKeypad");
    reader.setDelay(300ms);
    for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x19, 0x15, 0x17})
        reader.always(0x00, code, 1);
    reader.always(0x00, 0x12, 1, hex("1E")); // the reader keeps ISO14443A off
    reader.clearLog();
    // 0.1 s into "default": Get Type pressed, and a box unchecked as the Get would.
    whenAsked(0x00, 0x11, 1, [this] {
        click("btn_SetKeypadG02");
        child<QAbstractButton>("chk02_43A")->setChecked(false);
    });

    click("Button1");

    ASSERT_EQ(reader.requests().size(), 12u);
    EXPECT_EQ(hexText(reader.requests()[1]), "AA 00 05 00 00 00 13 1F 09");
    EXPECT_EQ(reader.count(0x00, 0x12), 1); // default's own Get Type only
}

TEST_F(KeypadPageTest, DisconnectDuringTheReadsOrDefaultEndsThemQuietly)
{
    for (const char *start : {"ts_SetKeypad", "Button1"}) {
        SCOPED_TRACE(start);
        showPage("ts_Felica");
        connectReader();
        reader.clearLog();
        whenAsked(0x00, 0x00, 0, [this] { click("btn_Connect"); }); // at the first command
        if (start[0] == 't')
            showPage(start);
        else
            click(start);

        EXPECT_FALSE(window().link().hasPort());
        EXPECT_EQ(reader.requests().size(), 1u);
        EXPECT_EQ(window().statusText(), " ");
        QCoreApplication::processEvents();
        EXPECT_EQ(window().statusText(), " ");
    }
}

// Cleared controls are no reading: after a Get cut short, the group's Set refuses until a
// Get of that group succeeds; its captions stay.
TEST_F(KeypadPageTest, AGetCutShortKeepsItsGroupsSetRefusedUntilAGetSucceeds)
{
    connectReader();
    reader.answer(0x00, 0x10, 1, hex("0F"));
    reader.answer(0x00, 0x12, 1, hex("1F"));
    whenAsked(0x00, 0x1A, 1, [this] { click("btn_Connect"); }); // at " Get HID Keyboard send type"
    showPage("ts_SetKeypad");
    ASSERT_FALSE(window().connected());
    connectReader();

    for (const char *name : {"btn_SetKeypadS01", "btn_SetKeypadS02", "chk01_Auto", "chk02_43A",
                             "btn_SetKeypadG03", "btn_SetKeypadS04"})
        EXPECT_TRUE(enabled(name)) << name;
    for (const char *name : {"btn_SetKeypadS03", "chk03_Enter", "chk03_RevByte", "rbn03_8H"}) {
        EXPECT_FALSE(enabled(name)) << name;
        EXPECT_TRUE(child<QWidget>(name)->toolTip().startsWith("Not read from the reader")) << name;
    }
    EXPECT_EQ(child<QAbstractButton>("btn_SetKeypadS03")->text(), "Set AddType");
    reader.clearLog();
    emit child<QAbstractButton>("btn_SetKeypadS03")->clicked(); // past the disabled button
    EXPECT_TRUE(reader.commands().empty());

    reader.answer(0x00, 0x1A, 0x22);
    click("btn_SetKeypadG03");
    EXPECT_FALSE(enabled("btn_SetKeypadS03"));
    reader.answer(0x00, 0x1A, 1, hex("05 01 80"));
    click("btn_SetKeypadG03");
    for (const char *name : {"btn_SetKeypadS03", "chk03_Enter", "rbn03_8H"})
        EXPECT_TRUE(enabled(name)) << name;
    EXPECT_TRUE(child<QAbstractButton>("chk03_Enter")->isChecked());
    reader.answer(0x00, 0x1B, 1);
    click("btn_SetKeypadS03");
    EXPECT_EQ(reader.count(0x00, 0x1B), 1);
}

} // namespace
} // namespace qn480::testing
