// SPDX-License-Identifier: GPL-3.0-or-later
// Closing the window while a command of a card procedure or of the keypad's sequences
// waits for its answer, through the tool's own start-up and event loop: the handler
// unwinds, nothing more reaches the reader, and the program ends with status 0. The
// sanitized build runs these too, where any use of the closed port or of the window after
// its end shows.

#include "window_rig.h"

#include <chrono>
#include <string>
#include <string_view>

namespace qn480::testing {
namespace {

constexpr std::chrono::seconds kGiveUp{20};
constexpr int kNeverClosed = 3;
constexpr int kMidPolling = 3; // a command that repeats every pass: close on its third

struct CloseCase
{
    const char *name;
    const char *start; // clicked after Connect; nullptr shows the SetKeypad page
    std::uint8_t group;
    std::uint8_t code;
    int nth = 1; // close while the nth request of this command waits
};

const CloseCase kCases[] = {
    {"ISO14443AConfigure", "btn_Read01", 0x0A, 0x00},
    {"ISO14443ACarrierOn", "btn_Read01", 0x00, 0x30},
    {"ISO14443ARequest", "btn_Read01", 0x0A, 0x10, kMidPolling},
    {"ISO14443AAnticollision", "btn_Read01", 0x0A, 0x12, kMidPolling},
    {"ISO14443ASelect", "btn_Read01", 0x0A, 0x13, kMidPolling},
    {"ISO14443AAnswerToSelect", "btn_Read01", 0x0A, 0x15, kMidPolling},
    {"ISO14443ALevelProbe", "btn_Read01", 0x0A, 0x40, kMidPolling},
    {"MifareInitConfigure", "btn_Read05", 0x0A, 0x00},
    {"MifareInitCarrierOn", "btn_Read05", 0x00, 0x30},
    {"MifareInitRequest", "btn_Read05", 0x0A, 0x10, kMidPolling},
    {"MifareInitAnticollision", "btn_Read05", 0x0A, 0x12, kMidPolling},
    {"MifareInitSelect", "btn_Read05", 0x0A, 0x13, kMidPolling},
    {"MifareInitAnswerToSelect", "btn_Read05", 0x0A, 0x15, kMidPolling},
    {"MifareInitLevelProbe", "btn_Read05", 0x0A, 0x40, kMidPolling},
    {"ISO14443BConfigure", "btn_Read02", 0x0B, 0x00},
    {"ISO14443BCarrierOn", "btn_Read02", 0x00, 0x30},
    {"ISO14443BPoll", "btn_Read02", 0x0B, 0x10, kMidPolling},
    {"FelicaConfigure", "btn_Read03", 0x0C, 0x00},
    {"FelicaCarrierOn", "btn_Read03", 0x00, 0x30},
    {"FelicaPoll", "btn_Read03", 0x0C, 0x10, kMidPolling},
    {"ISO15693Configure", "btn_Read04", 0x0D, 0x00},
    {"ISO15693CarrierOn", "btn_Read04", 0x00, 0x30},
    {"ISO15693Poll", "btn_Read04", 0x0D, 0x10, kMidPolling},
    {"PageShownGetMode", nullptr, 0x00, 0x10},
    {"PageShownGetType", nullptr, 0x00, 0x12},
    {"PageShownGetAddType", nullptr, 0x00, 0x1A},
    {"PageShownGetSendTime", nullptr, 0x00, 0x18},
    {"PageShownGetScanTime", nullptr, 0x00, 0x14},
    {"PageShownGetSameTime", nullptr, 0x00, 0x16},
    {"DefaultsSetMode", "Button1", 0x00, 0x11},
    {"DefaultsSetType", "Button1", 0x00, 0x13},
    {"DefaultsSetAddType", "Button1", 0x00, 0x1B},
    {"DefaultsSetSendTime", "Button1", 0x00, 0x19},
    {"DefaultsSetScanTime", "Button1", 0x00, 0x15},
    {"DefaultsSetSameTime", "Button1", 0x00, 0x17},
    {"DefaultsGetMode", "Button1", 0x00, 0x10},
    {"DefaultsGetSameTime", "Button1", 0x00, 0x16},
};

class CloseMidRun : public WindowRig, public ::testing::WithParamInterface<CloseCase>
{};

TEST_P(CloseMidRun, EndsCleanlyAndLeavesTheReaderAlone)
{
    const CloseCase &c = GetParam();
    // One card of each air interface, a MIFARE Plus in SL0 for Type A, so that every
    // command of every procedure is sent, and the keypad's defaults.
    for (std::uint8_t group : {0x0A, 0x0B, 0x0C, 0x0D})
        reader.always(group, 0x00, 1);
    reader.always(0x00, 0x30, 1);
    reader.always(0x00, 0x31, 1);
    reader.always(0x0A, 0x10, 1, hex("44 00"));
    reader.always(0x0A, 0x12, 1, hex("12 34 56 78"));
    reader.always(0x0A, 0x13, 1, hex("20"));
    reader.always(0x0A, 0x15, 1, hex("0C 75 77 80 02 C1 05 2F 2F 00 35 C7"));
    reader.always(0x0A, 0x40, 1);
    reader.always(0x0B, 0x10, 1, hex("1A 2B 3C 4D 00 00 00 00 00 81 71"));
    reader.always(0x0C, 0x10, 1, hex("00 01 0B 01 02 03 04 05 06 07 08"));
    reader.always(0x0D, 0x10, 1, hex("00 11 22 33 44 55 66 77 88"));
    const std::pair<std::uint8_t, const char *> gets[] = {
        {0x10, "0F"}, {0x12, "1F"}, {0x1A, "05 01 80"}, {0x18, "0A"}, {0x14, "05"}, {0x16, "0F"}};
    for (const auto &[code, data] : gets) {
        reader.always(0x00, code, 1, hex(data));
        reader.always(0x00, code + 1, 1);
    }

    bool closed = false;
    std::size_t requestsAtClose = 0;
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(kNeverClosed); });
    auto *app = qobject_cast<Application *>(QCoreApplication::instance());
    const int status = runMainWindow(*app, dependencies(), [&](TfrmMain &window) {
        reader.onRequest([&](const Bytes &) {
            if (!closed && reader.count(c.group, c.code) == c.nth) {
                closed = true;
                requestsAtClose = reader.requests().size();
                // Reaches the window while this request's answer is awaited.
                QTimer::singleShot(0, &window, [&window] { window.close(); });
            }
        });
        QTimer::singleShot(0, &window, [&window, &c] {
            window.findChild<QAbstractButton *>("btn_Connect")->click();
            if (c.start) {
                // The MIFARE initialization page offers nothing until it is shown.
                if (std::string_view(c.start) == "btn_Read05")
                    window.showMifarePage();
                window.findChild<QAbstractButton *>(QLatin1String(c.start))->click();
            } else {
                window.findChild<QTabWidget *>("pcMain")->setCurrentWidget(
                    window.findChild<QWidget *>("ts_SetKeypad"));
            }
        });
        giveUp.start(kGiveUp);
    });

    EXPECT_EQ(status, 0);
    EXPECT_TRUE(closed) << "the command was never sent";
    EXPECT_EQ(reader.requests().size(), requestsAtClose) << "the reader was asked after closing";
    EXPECT_TRUE(reported.empty()) << reported.front().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Window, CloseMidRun, ::testing::ValuesIn(kCases),
                         [](const auto &test) { return std::string(test.param.name); });

} // namespace
} // namespace qn480::testing
