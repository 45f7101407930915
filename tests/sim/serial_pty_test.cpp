// SPDX-License-Identifier: GPL-3.0-or-later
// The real serial port and the link against the simulated reader on a pseudo-terminal. CTest
// runs it once per backend (QN480_SERIAL_BACKEND).

#include "link.h"
#include "serial_platform.h"
#include "serial_port.h"

#include "fake_reader.h"
#include "sim_reader.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qn480 {
namespace {

using qn480::testing::hexText;
using namespace std::chrono_literals;

using soak::SimReader;
constexpr int kComNumber = SimReader::kComNumber;

// Counts the waits of the port it wraps, to tell a wait from a spin without timing.
class CountingPort final : public Port
{
public:
    CountingPort(std::unique_ptr<Port> port, std::atomic<int> &waits)
        : m_port(std::move(port))
        , m_waits(waits)
    {}
    void purge() override { m_port->purge(); }
    void write(std::span<const std::uint8_t> bytes) override { m_port->write(bytes); }
    int queued() override { return m_port->queued(); }
    int read(std::span<std::uint8_t> bytes) override { return m_port->read(bytes); }
    void waitReadable(std::chrono::nanoseconds slice) override
    {
        ++m_waits;
        m_port->waitReadable(slice);
    }
    PortWait waitReadableOr(std::chrono::nanoseconds timeout, int wake) override
    {
        ++m_waits;
        return m_port->waitReadableOr(timeout, wake);
    }
    std::unique_ptr<PortWatch> watchReadable(std::function<void()> wake) override
    {
        ++m_waits;
        return m_port->watchReadable(std::move(wake));
    }
    bool deviceLost() const override { return m_port->deviceLost(); }
    bool checkDevice() override { return m_port->checkDevice(); }

private:
    std::unique_ptr<Port> m_port;
    std::atomic<int> &m_waits;
};

std::string data(const Reply &reply)
{
    return hexText(std::span(reply.response.Data)
                       .first(static_cast<std::size_t>(std::max(reply.response.DataLength, 0))));
}

std::chrono::nanoseconds threadCpuTime()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

bool sameTermios(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

TEST(SerialPty, ClosingGivesTheLineBackBitForBit)
{
    SimReader reader;
    const int observer = ::open(reader.linkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(observer, 0);
    // A line set up very unlike the reader's, so that every field has to come back.
    termios before{};
    ASSERT_EQ(tcgetattr(observer, &before), 0);
    before.c_iflag = ICRNL | IXON | IXOFF;
    before.c_oflag = OPOST | ONLCR;
    before.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CREAD | HUPCL | CRTSCTS;
    before.c_lflag = ICANON | ECHO | ECHOE | ISIG;
    before.c_cc[VMIN] = 3;
    before.c_cc[VTIME] = 7;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(observer, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(observer, &before), 0);

    Link link;
    OpenFailure failure;
    ASSERT_TRUE(OpenPort(link, reader.ports(), kComNumber, kReaderSettings, &failure))
        << failure.reason;
    termios during{};
    ASSERT_EQ(tcgetattr(observer, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), B115200);
    EXPECT_EQ(during.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(during.c_cc[VMIN], 0);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    int exclusive = 0;
    ASSERT_EQ(ioctl(observer, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    ClosePort(link);
    termios after{};
    ASSERT_EQ(tcgetattr(observer, &after), 0);
    EXPECT_TRUE(sameTermios(before, after));
    ASSERT_EQ(ioctl(observer, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the pty would refuse the next open while its master lives";
    ::close(observer);
}

// Transactions round-trip; a second open is refused until the first closes, and then
// takes the reader over, as the tool reconnecting does.
TEST(SerialPty, TransactionsRoundTripAndASecondOpenWaitsForTheFirstToClose)
{
    SimReader reader;
    Link first;
    Link second;
    OpenFailure failure;
    ASSERT_TRUE(OpenPort(first, reader.ports(), kComNumber, kReaderSettings, &failure))
        << failure.reason;
    const Reply on = first.transact(0x00, 0x30);
    EXPECT_EQ(on.result, TransactionResult::Frame);
    EXPECT_EQ(on.response.Status, 0x01);
    EXPECT_EQ(data(first.transact(0x0A, 0x10)), "04 00");

    EXPECT_FALSE(OpenPort(second, reader.ports(), kComNumber, kReaderSettings, &failure));
    EXPECT_NE(failure.reason.find("in use"), std::string::npos) << failure.reason;
    // The other backend is shut out as well (a window on one, qn480ctl on the other).
    if (platform::hasTermiosPort()) {
        const SerialBackend other =
            serialBackend() == SerialBackend::Qt ? SerialBackend::Termios : SerialBackend::Qt;
        failure = {};
        EXPECT_FALSE(openSerialDevice(reader.linkPath(), *parseLineSettings(kReaderSettings), other,
                                      &failure));
        EXPECT_NE(failure.reason.find("in use"), std::string::npos) << failure.reason;
    }
    EXPECT_EQ(first.transact(0x00, 0x10).result, TransactionResult::Frame)
        << "the refused open must not disturb the open port";

    EXPECT_TRUE(ClosePort(first));
    EXPECT_FALSE(first.hasPort());
    ASSERT_TRUE(OpenPort(second, reader.ports(), kComNumber, kReaderSettings, &failure))
        << failure.reason;
    EXPECT_EQ(data(second.transact(0x00, 0x10)), "0F");
}

// A program killed while it held the port leaves the pty exclusive (its master lives on),
// with no lock: the refusal names that case and how to clear it, not another program.
TEST(SerialPty, APortLeftExclusiveByAnEndedProgramIsToldApart)
{
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(fchmod(slave, 0666), 0);
    ASSERT_EQ(ioctl(slave, TIOCEXCL), 0);
    ::close(slave);

    // Root is never refused: the open is tried as nobody, in a child.
    int reason[2];
    ASSERT_EQ(pipe(reason), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(reason[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        OpenFailure failure;
        openSerialDevice(name, *parseLineSettings(kReaderSettings), SerialBackend::Termios,
                         &failure);
        const ssize_t written = ::write(reason[1], failure.reason.data(), failure.reason.size());
        _exit(written < 0 ? 3 : 0);
    }
    ::close(reason[1]);
    std::string told;
    char buffer[512];
    for (ssize_t n; (n = ::read(reason[0], buffer, sizeof buffer)) > 0;)
        told.append(buffer, std::size_t(n));
    ::close(reason[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ::close(master);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(told, std::string(name) +
                        " refuses to open, but no program holds it: it was left exclusive by a "
                        "program that ended without closing it; re-plug the adaptor, or open it "
                        "once as root (sudo qn480ctl -d " +
                        name + " keypad get), which clears it");
}

TEST(SerialPty, RefusedOpensLeaveNoPortAndSayWhy)
{
    SimReader reader;
    Link link;
    OpenFailure failure;
    EXPECT_FALSE(OpenPort(link, reader.ports(), kComNumber, "115200,q,8,1", &failure));
    EXPECT_FALSE(failure.reason.empty());
    // Qt sets any speed through the kernel's custom rates, and a pty takes them all.
    if (serialBackend() == SerialBackend::Termios) {
        EXPECT_FALSE(OpenPort(link, reader.ports(), kComNumber, "14400,n,8,1", &failure))
            << "a speed the line cannot take is refused, not taken as open";
    }
    EXPECT_FALSE(OpenPort(link, reader.ports(), 0, kReaderSettings, &failure));
    EXPECT_FALSE(OpenPort(link, reader.ports(), kComNumber + 1, kReaderSettings, &failure));
    const std::vector<PortEntry> gone{{"COM05", 5, "/dev/no-such-qn480", ""}};
    EXPECT_FALSE(OpenPort(link, gone, 5, kReaderSettings, &failure));
    EXPECT_NE(failure.reason.find("no such device"), std::string::npos) << failure.reason;
    const std::vector<PortEntry> notSerial{{"COM06", 6, "/dev/null", ""}};
    EXPECT_FALSE(OpenPort(link, notSerial, 6, kReaderSettings, &failure));
    EXPECT_FALSE(link.hasPort());

    // None of the refusals left the device locked.
    EXPECT_TRUE(OpenPort(link, reader.ports(), kComNumber, kReaderSettings, &failure))
        << failure.reason;
}

// The reader's port on `link`, its waits counted, to tell a wait from a spin without timing.
void attachCounted(Link &link, SimReader &reader, std::atomic<int> &waits)
{
    OpenFailure failure;
    auto port = openSerialDevice(reader.linkPath(), *parseLineSettings(kReaderSettings), &failure);
    ASSERT_TRUE(port) << failure.reason;
    link.attach(std::make_unique<CountingPort>(std::move(port), waits));
}

TEST(SerialPty, AHangUpInTheMiddleOfATransactionEndsItAsADeviceLoss)
{
    SimReader reader({.hangUp = 1});
    std::atomic<int> waits = 0;
    Link link;
    // A pump to run: the link waits in slices, which the count below tells from a time-out.
    link.setPump([] {});
    ASSERT_NO_FATAL_FAILURE(attachCounted(link, reader, waits));

    const auto cpuBefore = threadCpuTime();
    const Reply first = link.transact(0x00, 0x30);
    const auto cpu = threadCpuTime() - cpuBefore;

    // The hang-up is told, not waited out: a time-out would take a hundred waits. What the
    // link does with a lost device is its own test.
    EXPECT_EQ(first.result, TransactionResult::DeviceLost);
    EXPECT_LT(waits.load(), 100);
    EXPECT_LT(cpu, 300ms) << "the wait must sleep, not poll in a loop";
    EXPECT_TRUE(ClosePort(link));
}

// Each way of waiting sleeps until the port, the deadline or what it also waits on wakes it.
TEST(SerialPty, ASilentReaderIsWaitedForInSlicesNotSpunOn)
{
    enum class Mode { Slices, OneWait, WakeDescriptor, EventLoop };
    const struct
    {
        Mode mode;
        const char *name;
        int minWaits, maxWaits; // of the port, slices or whole waits
        int pumps;              // the pump's turns; -1: one per slice
    } cases[] = {
        // 500 ms in slices of 5 ms is a hundred waits; a wait that returned at once (a slice
        // rounded down to nothing) would make thousands.
        {Mode::Slices, "slices with the pump between", 10, 110, -1},
        {Mode::OneWait, "nothing to run: one wait", 1, 2, 0},
        // A stop signal's pipe: woken once, the pump runs once, the wait goes on.
        {Mode::WakeDescriptor, "the port and a wake descriptor", 2, 3, 1},
        // The window: an event during the wait is handled in it, without the pump.
        {Mode::EventLoop, "the thread's event loop", 1, 2, 0},
    };
    int argc = 1;
    char name[] = "serial_pty_test";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    fcntl(wake[0], F_SETFL, O_NONBLOCK);
    SimReader reader({.drop = 1});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> waits = 0;
        Link link;
        ASSERT_NO_FATAL_FAILURE(attachCounted(link, reader, waits));
        int pumps = 0;
        int drains = 0;
        bool handled = false;
        if (c.mode != Mode::OneWait)
            link.setPump([&] { ++pumps; });
        std::thread waker;
        if (c.mode == Mode::WakeDescriptor) {
            link.setWakeDescriptor(wake[0], [&] {
                ++drains;
                char byte;
                while (read(wake[0], &byte, 1) > 0) {
                }
            });
            waker = std::thread([&] {
                std::this_thread::sleep_for(100ms);
                EXPECT_EQ(write(wake[1], "x", 1), 1);
            });
        }
        if (c.mode == Mode::EventLoop) {
            link.useEventLoop(true);
            QTimer::singleShot(100ms, [&] { handled = true; });
        }

        const auto cpuBefore = threadCpuTime();
        const Reply reply = link.transact(0x00, 0x10);
        const auto cpu = threadCpuTime() - cpuBefore;
        if (waker.joinable())
            waker.join();

        EXPECT_EQ(reply.result, TransactionResult::TimeOut);
        EXPECT_GE(waits.load(), c.minWaits);
        EXPECT_LE(waits.load(), c.maxWaits);
        EXPECT_EQ(pumps, c.pumps < 0 ? waits.load() : c.pumps);
        EXPECT_EQ(drains, c.mode == Mode::WakeDescriptor ? 1 : 0);
        EXPECT_EQ(handled, c.mode == Mode::EventLoop);
        EXPECT_LT(cpu, 100ms);
        EXPECT_FALSE(link.deviceLost());
    }
    close(wake[0]);
    close(wake[1]);
}

// Noise, split and paced answers on a real line still make whole frames; a bad checksum is
// the link's own case, over the scripted reader.
TEST(SerialPty, FaultsOnTheWireReachTheLinkAsTheyWould)
{
    SimReader rough({.noise = 1, .split = 1, .pace = 1});
    Link link;
    ASSERT_TRUE(OpenPort(link, rough.ports(), kComNumber, kReaderSettings));
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(data(link.transact(0x00, 0x1A)), "05 01 80");
}

} // namespace
} // namespace qn480
