// SPDX-License-Identifier: GPL-3.0-or-later
// The window on qn480-sim's reader over a real pty for many passes, with faults on the
// wire; the reader unplugged in the middle of polling or idle.
//
// Short runs by default. QN480_SOAK_PASSES=10000 runs the full length: that many passes
// of each air interface and a tenth as many showings of the SetKeypad page.

#include "application.h"
#include "frm_main.h"
#include "serial_port.h"
#include "sim_reader.h"
#include "transaction_watch.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include <unistd.h>

namespace qn480::soak {
namespace {

using namespace std::chrono_literals;

constexpr int kShortPasses = 60;
constexpr int kShortShowings = 20;
constexpr int kShowingsPerPass = 10; // the long form shows the page once per ten passes
// Memory is compared with what the process held once the run had warmed up.
constexpr int kWarmUpShare = 10;
constexpr int kMinWarmUp = 5;
constexpr std::int64_t kMaxGrowth = 1024 * 1024;
// Waiting on an unplugged reader may cost at most this share of one core.
constexpr double kMaxWaitingCpu = 0.05;
constexpr auto kCpuWindow = 2s;
constexpr auto kGiveUp = 30s;
constexpr auto kTick = 10ms;

// Each of the five faults in 5 % of the responses, from a fixed seed.
constexpr sim::FaultRates kFaults{
    .drop = 0.05, .corrupt = 0.05, .noise = 0.05, .split = 0.05, .delay = 0.05};

int soakPasses()
{
    const char *text = std::getenv("QN480_SOAK_PASSES");
    const int passes = text ? std::atoi(text) : 0;
    return passes > 0 ? passes : kShortPasses;
}

int keypadShowings()
{
    return std::getenv("QN480_SOAK_PASSES") ? std::max(soakPasses() / kShowingsPerPass, 1)
                                            : kShortShowings;
}

// AddressSanitizer keeps freed memory in quarantine, so resident memory grows there by
// design; its leak check covers what this one would.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryComparable = false;
#else
constexpr bool kMemoryComparable = true;
#endif

// The window on the simulated reader, its link's port and clock watched.
class SoakTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_window.reset();
        m_sim.reset();
    }

    // The window on a fresh simulated reader, connected.
    void connect(sim::FaultRates rates = {})
    {
        m_sim = std::make_unique<SimReader>(rates);
        m_window = std::make_unique<TfrmMain>(dependencies());
        m_window->show();
        click("btn_Connect");
        ASSERT_EQ(status(), " Connect OK!! ");
    }

    FrmMainDependencies dependencies()
    {
        return {.listPorts = [this] { return m_sim->ports(); },
                .openPort =
                    [this](Link &link, const std::vector<PortEntry> &ports, int number,
                           std::string_view settings, OpenFailure *failure) {
                        // OpenPort's steps, with the watch around the port.
                        ClosePort(link);
                        const auto entry =
                            std::find_if(ports.begin(), ports.end(), [&](const PortEntry &port) {
                                return port.number == number;
                            });
                        const auto line = parseLineSettings(settings);
                        if (entry == ports.end() || !line)
                            return false;
                        auto port = openSerialDevice(entry->device, *line, failure);
                        if (!port)
                            return false;
                        link.attach(std::make_unique<WatchedPort>(std::move(port), watch));
                        return true;
                    },
                .clock = m_clock};
    }

    template <typename W> W *child(const char *name)
    {
        W *widget = m_window->findChild<W *>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // As a click would, also on a page not shown.
    void click(const char *name) { child<QAbstractButton>(name)->click(); }
    bool enabled(const char *name) { return child<QWidget>(name)->isEnabled(); }
    QString status() const { return m_window->statusText(); }
    SimReader &sim() { return *m_sim; }
    TfrmMain &window() { return *m_window; }
    Link &link() { return m_window->link(); }

    void report(const std::string &what, int count, std::int64_t growth)
    {
        std::printf("%s: %d, %d transactions, %d timed out, longest %.1f ms, "
                    "resident memory after warm-up %+.0f KiB\n",
                    what.c_str(), count, watch.transactions(), watch.timeOuts(),
                    std::chrono::duration<double, std::milli>(watch.longest()).count(),
                    static_cast<double>(growth) / 1024.0);
        RecordProperty("transactions", watch.transactions());
        RecordProperty("longest_transaction_us", static_cast<int>(watch.longest().count() / 1000));
        RecordProperty("memory_growth_bytes", static_cast<int>(growth));
    }

    TransactionWatch watch;

private:
    WatchedClock m_clock{watch};
    std::unique_ptr<SimReader> m_sim;
    std::unique_ptr<TfrmMain> m_window;
};

struct AirInterface
{
    const char *name;
    const char *read;
    const char *stop;
    std::uint8_t group; // its poll is (group, 0x10), once per pass
    const char *idBox;
    const char *id; // the simulator's default card of this interface
};

const AirInterface kInterfaces[] = {
    {"ISO14443A", "btn_Read01", "btn_Stop01", 0x0A, "edt_14443A_UID", "0000000078563412"},
    {"ISO14443B", "btn_Read02", "btn_Stop02", 0x0B, "edt_ISO14443B_BPUPI", "1A 2B 3C 4D "},
    {"FeliCa", "btn_Read03", "btn_Stop03", 0x0C, "edt_Felica_UID", "01 02 03 04 05 06 07 08 "},
    {"ISO15693", "btn_Read04", "btn_Stop04", 0x0D, "edt_ISO15693_UID", "11 22 33 44 55 66 77 88 "},
};

class AirInterfaceSoak : public SoakTest, public ::testing::WithParamInterface<AirInterface>
{};

TEST_P(AirInterfaceSoak, PollsThroughFaultsWithoutOverrunsWrongValuesOrGrowingMemory)
{
    const AirInterface &air = GetParam();
    ASSERT_NO_FATAL_FAILURE(connect(kFaults));

    // Every identifier the page ever shows; a fault must never make a wrong one.
    std::set<QString> shown;
    QObject::connect(child<QLineEdit>(air.idBox), &QLineEdit::textChanged,
                     [&](const QString &text) {
                         if (!text.isEmpty())
                             shown.insert(text);
                     });
    std::set<QString> types;
    QObject::connect(child<QLineEdit>("edt_14443A_CardType"), &QLineEdit::textChanged,
                     [&](const QString &text) {
                         if (!text.isEmpty())
                             types.insert(text);
                     });

    const int passes = soakPasses();
    const int warmUp = std::max(passes / kWarmUpShare, kMinWarmUp);
    int polled = 0;
    std::int64_t warm = 0;
    auto *stop = child<QAbstractButton>(air.stop);
    watch.onRequest([&](std::span<const std::uint8_t> request) {
        if (request.size() < 7 || request[5] != air.group || request[6] != 0x10)
            return;
        if (++polled == warmUp)
            warm = residentBytes();
        if (polled == passes)
            QTimer::singleShot(0, stop, &QAbstractButton::click);
    });

    click(air.read); // returns when the run has ended
    const std::int64_t growth = residentBytes() - warm;
    watch.ended();

    EXPECT_EQ(polled, passes);
    EXPECT_EQ(watch.overruns(), 0) << "transactions went on past their deadline";
    EXPECT_EQ(shown, std::set<QString>{air.id});
    EXPECT_EQ(types,
              air.group == 0x0A ? std::set<QString>{"Mifare Classic 1K"} : std::set<QString>{});
    EXPECT_EQ(status(), " ");
    EXPECT_FALSE(sim().model().carrier());
    if (kMemoryComparable) {
        EXPECT_LT(growth, kMaxGrowth);
    }
    report(std::string(air.name) + " passes", polled, growth);
}

INSTANTIATE_TEST_SUITE_P(Soak, AirInterfaceSoak, ::testing::ValuesIn(kInterfaces),
                         [](const auto &test) { return std::string(test.param.name); });

TEST_F(SoakTest, ShowsTheKeypadPageThroughFaultsWithoutHalfReadSettings)
{
    ASSERT_NO_FATAL_FAILURE(connect(kFaults));
    auto *pages = child<QTabWidget>("pcMain");
    auto *keypadPage = child<QWidget>("ts_SetKeypad");
    auto *firstPage = child<QWidget>("ts_ISO14443A");
    const auto checked = [&](const char *name) {
        return child<QAbstractButton>(name)->isChecked();
    };
    const auto allOrNone = [&](std::initializer_list<const char *> names) {
        int n = 0;
        for (const char *name : names)
            n += checked(name) ? 1 : 0;
        return n == 0 || n == static_cast<int>(names.size());
    };
    const auto position = [&](const char *name) {
        return child<QScrollBar>(name)->value();
    };

    const int showings = keypadShowings();
    const int warmUp = std::max(showings / kWarmUpShare, kMinWarmUp);
    std::int64_t warm = residentBytes();
    for (int i = 1; i <= showings; ++i) {
        pages->setCurrentWidget(keypadPage); // the six Gets
        // Each setting is either the reader's, whole, or refused and cleared; a fault never
        // shows part of one or a wrong one. The reader holds the defaults.
        EXPECT_TRUE(allOrNone({"chk01_Auto", "chk01_Beep", "chk01_Led", "chk01_Same"}));
        EXPECT_TRUE(allOrNone({"chk02_43A", "chk02_43B", "chk02_43C", "chk02_693", "chk02_Guid"}));
        EXPECT_TRUE(checked("rbn03_8H"));
        for (const char *name :
             {"chk03_RevByte", "chk03_RevBit", "chk03_Comma", "chk03_Brackets", "chk03_Quotes",
              "chk03_Space", "chk03_Tab", "chk03_Down", "chk03_Ctrl"})
            EXPECT_FALSE(checked(name)) << name;
        EXPECT_EQ(position("sbSendTime"), 10);
        EXPECT_TRUE(position("sbScanTime") == 10 || position("sbScanTime") == 5);
        EXPECT_TRUE(position("sbSameTime") == 10 || position("sbSameTime") == 15);
        // An empty status line means every setting was read: no cleared box passes for one.
        if (status().isEmpty()) {
            EXPECT_TRUE(checked("chk01_Auto") && checked("chk02_43A"));
            EXPECT_EQ(position("sbScanTime"), 5);
            EXPECT_EQ(position("sbSameTime"), 15);
        } else {
            EXPECT_TRUE(status().endsWith("Error!!")) << status().toStdString();
        }
        pages->setCurrentWidget(firstPage);
        if (i == warmUp)
            warm = residentBytes();
        if (::testing::Test::HasFailure())
            break;
    }
    const std::int64_t growth = residentBytes() - warm;
    watch.ended();

    EXPECT_EQ(watch.transactions(), 6 * showings);
    EXPECT_EQ(watch.overruns(), 0) << "transactions went on past their deadline";
    if (kMemoryComparable) {
        EXPECT_LT(growth, kMaxGrowth);
    }
    report("SetKeypad showings", showings, growth);
}

struct Unplugging
{
    const char *name;
    const char *start; // a Read button, the page whose showing reads the settings, or nothing
    std::uint8_t group;
    std::uint8_t code; // the request after which the reader goes away
};

const Unplugging kUnpluggings[] = {
    {"ISO14443A", "btn_Read01", 0x0A, 0x13},   {"ISO14443B", "btn_Read02", 0x0B, 0x10},
    {"FeliCa", "btn_Read03", 0x0C, 0x10},      {"ISO15693", "btn_Read04", 0x0D, 0x10},
    {"SetKeypad", "ts_SetKeypad", 0x00, 0x1A}, {"Idle", nullptr, 0x00, 0x00},
};

class UnpluggedSoak : public SoakTest, public ::testing::WithParamInterface<Unplugging>
{};

// Idle, no transaction finds the loss: the port watch does, and until then nothing may spin
// on the dead line either.
TEST_P(UnpluggedSoak, TheRunEndsThePortClosesAndNothingSpins)
{
    const Unplugging &u = GetParam();
    ASSERT_NO_FATAL_FAILURE(connect());

    auto cpuAtStart = processCpuTime();
    auto since = std::chrono::steady_clock::now();
    // Unplugged in the middle of a pass, on the third time round for the card pages.
    const int after = u.group == 0 ? 1 : 3;
    int seen = 0;
    watch.onRequest([&](std::span<const std::uint8_t> request) {
        if (request.size() > 6 && request[5] == u.group && request[6] == u.code && ++seen == after)
            sim().hangUp();
    });
    // A loss that went unnoticed must not hang the test.
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [&] {
        for (const char *stop : {"btn_Stop01", "btn_Stop02", "btn_Stop03", "btn_Stop04"})
            click(stop);
    });
    giveUp.start(kGiveUp);
    if (!u.start)
        sim().hangUp();
    else if (u.group == 0)
        child<QTabWidget>("pcMain")->setCurrentWidget(child<QWidget>(u.start));
    else
        click(u.start); // returns when the run has ended
    ASSERT_TRUE(QTest::qWaitFor([&] { return !link().hasPort(); }, 5000)) << "loss not seen";
    giveUp.stop();

    // As Disconnect leaves it, with the reason where Connect's reasons go.
    EXPECT_EQ(status(), " Connect Error!! ");
    EXPECT_THAT(child<QLabel>("sbMainPanel0")->toolTip().toStdString(),
                ::testing::AllOf(::testing::HasSubstr("disconnected"),
                                 ::testing::HasSubstr(sim().linkPath())));
    EXPECT_FALSE(window().connected());
    EXPECT_EQ(child<QAbstractButton>("btn_Connect")->text(), "Connect");
    EXPECT_TRUE(enabled("pnlCounect"));
    EXPECT_TRUE(enabled("btn_Connect"));
    for (const char *read : {"btn_Read01", "btn_Read02", "btn_Read03", "btn_Read04"})
        EXPECT_FALSE(enabled(read)) << read;

    // Nothing left waiting on the dead line.
    if (u.start) {
        cpuAtStart = processCpuTime();
        since = std::chrono::steady_clock::now();
    }
    QTest::qWait(static_cast<int>(std::chrono::milliseconds(kCpuWindow).count()));
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - since;
    const double share = std::chrono::duration<double>(processCpuTime() - cpuAtStart) / wall;
    EXPECT_LT(share, kMaxWaitingCpu) << "the window spins after the reader went away";
    std::printf("%s unplugged: %.2f %% of a core %s\n", u.name, 100 * share,
                u.start ? "afterwards" : "until noticed and after");
}

INSTANTIATE_TEST_SUITE_P(Soak, UnpluggedSoak, ::testing::ValuesIn(kUnpluggings),
                         [](const auto &test) { return std::string(test.param.name); });

TEST_F(SoakTest, AVanishedDeviceNodeIsNoticedAndTheReaderPluggedInAgainWorks)
{
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_EQ(unlink(sim().linkPath().c_str()), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !link().hasPort(); }, 5000));
    EXPECT_EQ(status(), " Connect Error!! ");

    // Plugged in again: the same COM entry reaches the reader on its new pty.
    sim().hangUp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sim().returns() > 0; }, 10000));
    click("btn_Connect");
    ASSERT_EQ(status(), " Connect OK!! ");
    auto *uid = child<QLineEdit>("edt_14443A_UID");
    const QString card = "0000000078563412";
    QTimer watchCard;
    const auto again = std::chrono::steady_clock::now();
    QObject::connect(&watchCard, &QTimer::timeout, [&] {
        if (uid->text() == card || std::chrono::steady_clock::now() - again > kGiveUp)
            click("btn_Stop01");
    });
    watchCard.start(kTick);
    click("btn_Read01");
    watchCard.stop();
    EXPECT_EQ(uid->text(), card);
    click("btn_Connect");
    EXPECT_EQ(status(), " ");
}

} // namespace
} // namespace qn480::soak
