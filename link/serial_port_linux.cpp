// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_platform.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace qn480 {

namespace {

// How long a write may wait for room in a full transmit queue before the rest is dropped
// (the transaction's time-out then covers it). A full request takes 89 ms at 115200 baud.
constexpr std::chrono::milliseconds kWriteTimeout{200};

struct Speed
{
    int baud;
    speed_t code;
};

constexpr std::array kSpeeds{
    Speed{50, B50},           Speed{75, B75},           Speed{110, B110},
    Speed{134, B134},         Speed{150, B150},         Speed{200, B200},
    Speed{300, B300},         Speed{600, B600},         Speed{1200, B1200},
    Speed{1800, B1800},       Speed{2400, B2400},       Speed{4800, B4800},
    Speed{9600, B9600},       Speed{19200, B19200},     Speed{38400, B38400},
    Speed{57600, B57600},     Speed{115200, B115200},   Speed{230400, B230400},
    Speed{460800, B460800},   Speed{500000, B500000},   Speed{576000, B576000},
    Speed{921600, B921600},   Speed{1000000, B1000000}, Speed{1152000, B1152000},
    Speed{1500000, B1500000}, Speed{2000000, B2000000},
};

std::optional<speed_t> speedCode(int baud)
{
    for (const Speed &speed : kSpeeds) {
        if (speed.baud == baud)
            return speed.code;
    }
    return std::nullopt;
}

timespec monotonicNow()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec plus(timespec t, std::chrono::nanoseconds d)
{
    const long long ns = t.tv_nsec + d.count();
    t.tv_sec += static_cast<time_t>(ns / 1000000000);
    t.tv_nsec = static_cast<long>(ns % 1000000000);
    return t;
}

// Time left until the deadline, never negative.
std::chrono::nanoseconds until(const timespec &deadline)
{
    const timespec now = monotonicNow();
    const auto left = std::chrono::seconds(deadline.tv_sec - now.tv_sec) +
                      std::chrono::nanoseconds(deadline.tv_nsec - now.tv_nsec);
    return std::max(left, std::chrono::nanoseconds::zero());
}

void sleepUntil(const timespec &deadline)
{
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

timespec toTimespec(std::chrono::nanoseconds d)
{
    timespec t{};
    t.tv_sec = static_cast<time_t>(d.count() / 1000000000);
    t.tv_nsec = static_cast<long>(d.count() % 1000000000);
    return t;
}

// Whether a program holds a flock on `device`, by /proc/locks ("1: FLOCK  ADVISORY  WRITE
// 4711 00:1a:5 0 EOF", the device and inode of the locked file). Assumed held when that
// cannot be read.
bool flockHeld(const std::string &device)
{
    struct stat node
    {};
    std::ifstream locks("/proc/locks");
    if (::stat(device.c_str(), &node) < 0 || !locks)
        return true;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                  static_cast<unsigned long long>(node.st_ino));
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string field;
        bool flock = false;
        while (fields >> field) {
            flock = flock || field == "FLOCK";
            if (flock && field == wanted)
                return true;
        }
    }
    return false;
}

std::string openReason(int error, const std::string &device)
{
    if (error == EBUSY) {
        if (auto left = platform::leftExclusiveReason(device))
            return *left;
    }
    switch (error) {
    case EACCES:
    case EPERM:
        return "permission denied on " + device +
               "; add your user to the dialout group (sudo adduser $USER dialout) and log in again";
    case EBUSY:
        return device + " is in use by another program";
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no such device: " + device;
    default:
        return device + ": " + std::strerror(error);
    }
}

tcflag_t dataBitsFlag(int bits)
{
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t parityFlags(char parity)
{
    switch (parity) {
    case 'e':
        return PARENB;
    case 'o':
        return PARENB | PARODD;
    case 'm':
        return PARENB | PARODD | CMSPAR; // mark: the parity bit always 1
    case 's':
        return PARENB | CMSPAR; // space: always 0
    default:
        return 0;
    }
}

// A serial device opened for the link: raw, non-blocking, exclusive. Closing gives the
// device back exactly as it was found.
class TermiosPort final : public Port
{
public:
    TermiosPort(int fd, const termios &saved, std::string path)
        : m_fd(fd)
        , m_saved(saved)
        , m_path(std::move(path))
    {}
    ~TermiosPort() override { release(m_fd, &m_saved); }
    TermiosPort(const TermiosPort &) = delete;
    TermiosPort &operator=(const TermiosPort &) = delete;

    // Undoes an open; every step may fail (a hung-up line refuses tcsetattr) and is skipped.
    static void release(int fd, const termios *saved)
    {
        if (fd < 0)
            return;
        tcflush(fd, TCIOFLUSH);
        if (saved)
            tcsetattr(fd, TCSANOW, saved);
        // A pty keeps its exclusive bit while the master stays open; a later open would
        // then be refused.
        ioctl(fd, TIOCNXCL);
        flock(fd, LOCK_UN);
        ::close(fd);
    }

    void purge() override
    {
        if (!m_lost && tcflush(m_fd, TCIOFLUSH) < 0)
            noteError(errno);
    }

    void write(std::span<const std::uint8_t> bytes) override
    {
        const timespec deadline = plus(monotonicNow(), kWriteTimeout);
        while (!bytes.empty() && !m_lost) {
            const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
            if (n > 0) {
                bytes = bytes.subspan(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno != EAGAIN) {
                noteError(errno);
                return;
            }
            const auto left = until(deadline);
            if (left == std::chrono::nanoseconds::zero())
                return;
            pollfd pfd{m_fd, POLLOUT, 0};
            const timespec timeout = toTimespec(left);
            if (ppoll(&pfd, 1, &timeout, nullptr) > 0 && (pfd.revents & POLLOUT) == 0) {
                noteEvents(pfd.revents);
                if (!m_lost)
                    sleepUntil(deadline); // failing: the rest cannot go out
                return;
            }
        }
    }

    int queued() override
    {
        int count = 0;
        if (m_lost)
            return -1;
        if (ioctl(m_fd, FIONREAD, &count) < 0) {
            noteError(errno);
            return -1;
        }
        return count;
    }

    int read(std::span<std::uint8_t> bytes) override
    {
        if (m_lost)
            return -1;
        for (;;) {
            const ssize_t n = ::read(m_fd, bytes.data(), bytes.size());
            if (n >= 0)
                return static_cast<int>(n);
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return 0;
            noteError(errno);
            return -1;
        }
    }

    void waitReadable(std::chrono::nanoseconds slice) override
    {
        const timespec deadline = plus(monotonicNow(), slice);
        if (m_lost) {
            sleepUntil(deadline);
            return;
        }
        for (;;) {
            const auto left = until(deadline);
            if (left == std::chrono::nanoseconds::zero())
                return;
            pollfd pfd{m_fd, POLLIN, 0};
            const timespec timeout = toTimespec(left);
            const int rc = ppoll(&pfd, 1, &timeout, nullptr);
            if (rc == 0)
                return;
            if (rc < 0 && errno == EINTR)
                continue;
            const bool broken = rc < 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            // A hung-up pty also reports POLLIN with nothing to read; only bytes that are
            // really queued end the wait early, otherwise the caller would spin.
            if (!broken && (pfd.revents & POLLIN) != 0)
                return;
            if (broken && queued() > 0)
                return;
            noteEvents(pfd.revents);
            if (rc < 0)
                noteError(errno);
            // A lost device ends the wait at once (the link stops on it); anything else
            // failing takes the whole slice, so that the caller cannot spin.
            if (!m_lost)
                sleepUntil(deadline);
            return;
        }
    }

    PortWait waitReadableOr(std::chrono::nanoseconds timeout, int wake) override
    {
        const timespec deadline = plus(monotonicNow(), timeout);
        if (m_lost)
            return PortWait::Port;
        for (;;) {
            const auto left = until(deadline);
            if (left == std::chrono::nanoseconds::zero())
                return PortWait::Port;
            std::array<pollfd, 2> pfds{pollfd{m_fd, POLLIN, 0}, pollfd{wake, POLLIN, 0}};
            const timespec rest = toTimespec(left);
            const int rc = ppoll(pfds.data(), wake >= 0 ? 2 : 1, &rest, nullptr);
            const int error = errno;
            if (rc == 0)
                return PortWait::Port;
            if (rc < 0 && error == EINTR)
                continue; // the signal's byte is in the pipe by now
            if (rc > 0 && wake >= 0 && pfds[1].revents != 0) {
                if ((pfds[1].revents & POLLIN) != 0)
                    return PortWait::Woken;
                wake = -1; // a broken wake descriptor: the port alone from now on
                if (pfds[0].revents == 0)
                    continue;
            }
            const short revents = pfds[0].revents;
            const bool broken = rc < 0 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            // As in waitReadable: only bytes really queued count on a hung-up line.
            if (!broken && (revents & POLLIN) != 0)
                return PortWait::Port;
            if (broken && queued() > 0)
                return PortWait::Port;
            noteEvents(revents);
            if (rc < 0)
                noteError(error);
            if (m_lost)
                return PortWait::Port;
            // Failing: the rest of the time on the wake descriptor alone, never a spin.
            return platform::waitLineOr(std::nullopt, wake, until(deadline)) ==
                           platform::LineWait::Wake
                       ? PortWait::Woken
                       : PortWait::Port;
        }
    }

    std::unique_ptr<PortWatch> watchReadable(std::function<void()> wake) override
    {
        if (m_lost)
            return nullptr;
        const auto watch = qtServices().watchDescriptor;
        if (!watch)
            return nullptr;
        return watch(m_fd, [this, wake = std::move(wake)] {
            // A hang-up wakes the notifier too, with nothing to read: note the loss, or the
            // link would wait again at once, and again.
            pollfd pfd{m_fd, POLLIN, 0};
            const timespec now{};
            if (!m_lost && ppoll(&pfd, 1, &now, nullptr) > 0 &&
                (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && queued() <= 0)
                noteEvents(pfd.revents);
            wake();
        });
    }

    bool deviceLost() const override { return m_lost; }

    bool checkDevice() override
    {
        if (m_lost)
            return true;
        pollfd pfd{m_fd, POLLIN, 0};
        const timespec now{};
        if (ppoll(&pfd, 1, &now, nullptr) > 0)
            noteEvents(pfd.revents);
        // An unplugged adapter's node goes away; so does a pty's, or a link to it.
        struct stat st
        {};
        if (!m_lost && ::stat(m_path.c_str(), &st) < 0 &&
            (errno == ENOENT || errno == ENODEV || errno == ENOTDIR))
            m_lost = true;
        return m_lost;
    }

private:
    // Errors that mean the device itself is gone; EAGAIN and the like never do.
    void noteError(int error)
    {
        if (error == EIO || error == ENXIO || error == ENODEV || error == EBADF)
            m_lost = true;
    }
    // A hang-up (the kernel's answer after an unplug) or a descriptor that is no longer one.
    void noteEvents(short revents)
    {
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            m_lost = true;
    }

    int m_fd;
    termios m_saved;
    std::string m_path;
    bool m_lost = false;
};

} // namespace

namespace platform {

bool hasTermiosPort()
{
    return true;
}

bool hasWin32Port()
{
    return false;
}

std::unique_ptr<Port> openWin32Port(const std::string &, const LineSettings &, OpenFailure *failure)
{
    failOpen(failure, 0, "this build has no Win32 port");
    return nullptr;
}

std::unique_ptr<Port> openTermiosPort(const std::string &device, const LineSettings &settings,
                                      OpenFailure *failure)
{
    const auto speed = speedCode(settings.baud);
    if (!speed) {
        failOpen(failure, 0,
                 "line settings refused: " + std::to_string(settings.baud) +
                     " baud is not supported");
        return nullptr;
    }

    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        failOpen(failure, error, openReason(error, device));
        return nullptr;
    }
    if (!isatty(fd)) {
        ::close(fd);
        failOpen(failure, ENOTTY, device + " is not a serial device");
        return nullptr;
    }
    // TIOCEXCL alone leaves a window between another program's open and its ioctl, and
    // does not stop root; the lock closes both.
    if (flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int error = errno;
        ::close(fd);
        failOpen(failure, error,
                 error == EWOULDBLOCK ? device + " is in use by another program"
                                      : openReason(error, device));
        return nullptr;
    }
    if (ioctl(fd, TIOCEXCL) < 0) {
        const int error = errno;
        TermiosPort::release(fd, nullptr);
        failOpen(failure, error, openReason(error, device));
        return nullptr;
    }
    termios saved{};
    if (tcgetattr(fd, &saved) < 0) {
        const int error = errno;
        TermiosPort::release(fd, nullptr);
        failOpen(failure, error, openReason(error, device));
        return nullptr;
    }

    termios raw = saved;
    cfmakeraw(&raw);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    raw.c_cflag |= CLOCAL | CREAD | dataBitsFlag(settings.dataBits) | parityFlags(settings.parity) |
                   (settings.stopBits == 2 ? CSTOPB : 0);
    // The link polls; a read must never wait.
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, *speed);
    cfsetospeed(&raw, *speed);

    // tcsetattr succeeds when any part of the change took, so read the line back.
    termios applied{};
    const tcflag_t checked = CSIZE | PARENB | PARODD | CSTOPB;
    int error = 0;
    if (tcsetattr(fd, TCSANOW, &raw) < 0 || tcgetattr(fd, &applied) < 0)
        error = errno;
    if (error != 0 || cfgetospeed(&applied) != *speed || cfgetispeed(&applied) != *speed ||
        (applied.c_cflag & checked) != (raw.c_cflag & checked)) {
        TermiosPort::release(fd, &saved);
        failOpen(failure, error, "line settings refused by " + device);
        return nullptr;
    }
    // Reads never block in the driver (VMIN = VTIME = 0 above): the link does its own
    // waiting. No queue sizes are set: Linux has none per open, and the tty's own buffers
    // are larger than one frame.
    tcflush(fd, TCIOFLUSH);
    return std::make_unique<TermiosPort>(fd, saved, device);
}

std::optional<std::string> leftExclusiveReason(const std::string &device)
{
    if (flockHeld(device))
        return std::nullopt;
    return device +
           " refuses to open, but no program holds it: it was left exclusive by a program "
           "that ended without closing it; re-plug the adaptor, or open it once as root "
           "(sudo qn480ctl -d " +
           device + " keypad get), which clears it";
}

int lockQtPort(SerialHandle handle)
{
    return flock(handle, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
}

std::optional<LineWait> waitLineOr(std::optional<SerialHandle> line, int wake,
                                   std::chrono::nanoseconds timeout)
{
    const timespec deadline = plus(monotonicNow(), timeout);
    for (;;) {
        const auto left = until(deadline);
        if (left == std::chrono::nanoseconds::zero())
            return LineWait::TimeOut;
        std::array<pollfd, 2> pfds{pollfd{wake, POLLIN, 0}, pollfd{line.value_or(-1), POLLIN, 0}};
        const timespec rest = toTimespec(left);
        const int rc = ppoll(pfds.data(), line ? 2 : 1, &rest, nullptr);
        if (rc == 0)
            return LineWait::TimeOut;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc > 0 && (pfds[0].revents & POLLIN) != 0)
            return LineWait::Wake;
        if (rc > 0 && pfds[1].revents != 0)
            return LineWait::Line;
        if (rc > 0 && wake >= 0 && pfds[0].revents != 0) {
            wake = -1; // broken: the line alone from now on
            continue;
        }
        sleepUntil(deadline);
        return LineWait::TimeOut;
    }
}

std::optional<bool> lineHungUp(SerialHandle handle)
{
    pollfd pfd{handle, POLLIN, 0};
    const timespec now{};
    if (ppoll(&pfd, 1, &now, nullptr) < 0)
        return std::nullopt;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

} // namespace platform
} // namespace qn480
