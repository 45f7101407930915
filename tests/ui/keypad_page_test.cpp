// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_rig.h"

#include <QLabel>
#include <QScrollBar>

#include <cstdint>
#include <functional>

using namespace std::chrono_literals;

namespace qn480::testing {
namespace {

using KeypadPageTest = WindowRig;
using Command = std::pair<std::uint8_t, std::uint8_t>;

const char *const kModeAndTypeBoxes[] = {"chk01_Auto", "chk01_Beep", "chk01_Led",
                                         "chk01_Same", "chk02_43A",  "chk02_43B",
                                         "chk02_43C",  "chk02_693",  "chk02_Guid"};
const char *const kAddTypeBoxes[] = {
    "chk03_RevByte", "chk03_RevBit", "chk03_Comma", "chk03_Brackets", "chk03_Quotes",
    "chk03_Space",   "chk03_Tab",    "chk03_Down",  "chk03_Ctrl",     "chk03_Enter"};

TEST_F(KeypadPageTest, ShownWhileDisconnectedResetsTheBoxesAndKeepsTheTimings)
{
    TfrmMain &form = window();
    for (const char *name : {"chk01_Auto", "chk02_Guid", "chk03_Enter", "chk03_RevBit"})
        child<QAbstractButton>(name)->setChecked(true);
    child<QAbstractButton>("rbn03_32H")->setChecked(true);
    child<QScrollBar>("sbScanTime")->setValue(33);

    showPage("ts_SetKeypad");

    for (const char *name : kModeAndTypeBoxes)
        EXPECT_FALSE(child<QAbstractButton>(name)->isChecked()) << name;
    for (const char *name : kAddTypeBoxes)
        EXPECT_FALSE(child<QAbstractButton>(name)->isChecked()) << name;
    EXPECT_TRUE(child<QAbstractButton>("rbn03_8H")->isChecked());
    EXPECT_EQ(child<QScrollBar>("sbScanTime")->value(), 33);
    EXPECT_EQ(child<QLabel>("pnlScanTime")->text(), "33");
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

    // Showing it again reads again; leaving it reads nothing.
    reader.clearLog();
    showPage("ts_Felica");
    EXPECT_TRUE(reader.commands().empty());
    showPage("ts_SetKeypad");
    EXPECT_EQ(reader.commands(), gets);
}

TEST_F(KeypadPageTest, EveryButtonSendsItsOwnCommand)
{
    connectReader();
    showPage("ts_SetKeypad");
    const std::pair<const char *, std::uint8_t> buttons[] = {
        {"btn_SetKeypadG01", 0x10}, {"btn_SetKeypadS01", 0x11}, {"btn_SetKeypadG02", 0x12},
        {"btn_SetKeypadS02", 0x13}, {"btn_SetKeypadG03", 0x1A}, {"btn_SetKeypadS03", 0x1B},
        {"btn_SetKeypadG04", 0x18}, {"btn_SetKeypadS04", 0x19}, {"btn_SetKeypadG05", 0x14},
        {"btn_SetKeypadS05", 0x15}, {"btn_SetKeypadG06", 0x16}, {"btn_SetKeypadS06", 0x17},
    };
    for (const auto &[name, code] : buttons) {
        reader.clearLog();
        click(name);
        EXPECT_EQ(reader.commands(), std::vector<Command>{Command(0x00, code)}) << name;
    }
    // Keypad operations leave the port row usable.
    EXPECT_TRUE(enabled("pnlCounect"));
}

TEST_F(KeypadPageTest, ScrollBarsShowTheirPositionAndSendNothing)
{
    connectReader();
    showPage("ts_SetKeypad");
    reader.clearLog();
    const std::pair<const char *, const char *> timings[] = {{"sbSendTime", "pnlSendTime"},
                                                             {"sbScanTime", "pnlScanTime"},
                                                             {"sbSameTime", "pnlSameTime"}};
    for (const auto &[bar, panel] : timings) {
        child<QScrollBar>(bar)->setValue(255);
        EXPECT_EQ(child<QLabel>(panel)->text(), "255") << bar;
        child<QScrollBar>(bar)->triggerAction(QAbstractSlider::SliderPageStepSub);
        EXPECT_EQ(child<QLabel>(panel)->text(), "250") << bar;
        child<QScrollBar>(bar)->triggerAction(QAbstractSlider::SliderSingleStepSub);
        EXPECT_EQ(child<QLabel>(panel)->text(), "249") << bar;
    }
    EXPECT_TRUE(reader.requests().empty());
}

TEST_F(KeypadPageTest, DefaultWritesEverySettingThenReadsItBack)
{
    connectReader();
    showPage("ts_SetKeypad");
    reader.clearLog();

    click("Button1");

    const std::vector<Command> expected{{0x00, 0x11}, {0x00, 0x13}, {0x00, 0x1B}, {0x00, 0x19},
                                        {0x00, 0x15}, {0x00, 0x17}, {0x00, 0x10}, {0x00, 0x12},
                                        {0x00, 0x1A}, {0x00, 0x18}, {0x00, 0x14}, {0x00, 0x16}};
    EXPECT_EQ(reader.commands(), expected);
    ASSERT_EQ(reader.requests().size(), 12u);
    EXPECT_EQ(hexText(reader.requests()[0]), "AA 00 05 00 00 00 11 0F 1B");
    EXPECT_EQ(window().statusText(), " Set Mode Error!!");
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
    const struct
    {
        const char *name;
        std::function<void()> start;
    } cases[] = {
        {"page shown",
         [this] {
             showPage("ts_SetKeypad");
         }},
        {"default",
         [this] {
             click("Button1");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        showPage("ts_Felica");
        connectReader();
        reader.clearLog();
        whenAsked(0x00, 0x00, 0, [this] { click("btn_Connect"); }); // at the first command
        c.start();

        EXPECT_FALSE(window().link().hasPort());
        EXPECT_EQ(reader.requests().size(), 1u);
        EXPECT_EQ(window().statusText(), " ");
        QCoreApplication::processEvents();
        EXPECT_EQ(window().statusText(), " ");
    }
}

} // namespace
} // namespace qn480::testing
