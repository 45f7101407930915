// SPDX-License-Identifier: GPL-3.0-or-later
#include "pty_server.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qn480::sim {

namespace {

using Clock = std::chrono::steady_clock;

std::string hexText(std::span<const std::uint8_t> bytes)
{
    std::string out;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

std::string wallClock()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min,
                  local.tm_sec, now.tv_nsec / 1000);
    return buf;
}

void sleepUntil(Clock::time_point when)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
    // steady_clock is CLOCK_MONOTONIC on Linux.
    timespec t{static_cast<time_t>(ns.count() / 1000000000),
               static_cast<long>(ns.count() % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

PtyServer::PtyServer(ReaderModel &model, FaultInjector &faults)
    : m_model(model)
    , m_faults(faults)
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

PtyServer::~PtyServer()
{
    if (!m_link.empty()) {
        // Only our own link goes: someone may have pointed it elsewhere meanwhile.
        char target[PATH_MAX];
        const ssize_t n = readlink(m_link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath())
            unlink(m_link.c_str());
    }
    closeLine();
    closeFd(m_wake);
}

bool PtyServer::open(std::string *error)
{
    closeLine();
    const auto failed = [&](const char *what) {
        if (error)
            *error = std::string(what) + ": " + std::strerror(errno);
        closeLine();
        return false;
    };
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return failed("posix_openpt");
    char name[128];
    if (grantpt(m_master) < 0 || unlockpt(m_master) < 0 ||
        ptsname_r(m_master, name, sizeof name) != 0)
        return failed("pseudo-terminal");
    m_slaveKeeper = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveKeeper < 0)
        return failed(name);
    // Raw from the start: a cooked slave would echo our responses back as requests.
    termios raw{};
    if (tcgetattr(m_slaveKeeper, &raw) < 0)
        return failed("tcgetattr");
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    if (tcsetattr(m_slaveKeeper, TCSANOW, &raw) < 0)
        return failed("tcsetattr");
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard lock(m_pathMutex);
        m_slave = name;
    }
    m_model.idle();
    m_outbox.clear();
    updateLink();
    return true;
}

std::string PtyServer::slavePath() const
{
    std::lock_guard lock(m_pathMutex);
    return m_slave;
}

PtyServer::LinkResult PtyServer::setLinkPath(const std::string &path, std::string *error)
{
    if (std::string why; !replaceable(path, &why)) {
        if (error)
            *error = why;
        return LinkResult::Refused;
    }
    m_link = path;
    if (updateLink())
        return LinkResult::Made;
    if (error)
        *error = "cannot make the link " + path + ": " + std::strerror(errno);
    m_link.clear();
    return LinkResult::Failed;
}

bool PtyServer::replaceable(const std::string &path, std::string *why)
{
    struct stat st
    {};
    if (lstat(path.c_str(), &st) != 0)
        return true; // nothing there (or nothing we may see: making the link will tell)
    if (!S_ISLNK(st.st_mode)) {
        *why = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Only a simulator's own link, stale or not, goes: one made by udev or by hand for a
    // real reader must survive a mistyped --link.
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    const std::string_view to(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    constexpr std::string_view kPts = "/dev/pts/";
    if (to.substr(0, kPts.size()) == kPts && to.size() > kPts.size() &&
        to.find_first_not_of("0123456789", kPts.size()) == std::string_view::npos)
        return true;
    *why = path + " is a symbolic link to " + std::string(to) +
           ", not to a pseudo-terminal; not replacing it";
    return false;
}

bool PtyServer::updateLink()
{
    const std::string slave = slavePath();
    if (m_link.empty() || slave.empty())
        return true;
    if (std::string why; !replaceable(m_link, &why)) {
        log(why); // someone put their own link there meanwhile
        errno = EEXIST;
        return false;
    }
    // Made aside and renamed over the old one, so the link never points nowhere.
    const std::string temp = m_link + ".new" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(slave.c_str(), temp.c_str()) == 0 && rename(temp.c_str(), m_link.c_str()) == 0)
        return true;
    const int error = errno;
    unlink(temp.c_str());
    log("cannot update the link " + m_link + ": " + std::strerror(error));
    errno = error;
    return false;
}

void PtyServer::closeLine()
{
    closeFd(m_master);
    closeFd(m_slaveKeeper);
}

void PtyServer::hangUp()
{
    log("hang up " + slavePath());
    closeLine();
    m_outbox.clear();
    m_model.idle();
    m_reopenPending = true;
    m_reopenAt = Clock::now() + kReopenDelay;
}

void PtyServer::stop()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
}

void PtyServer::log(const std::string &text)
{
    if (m_log)
        m_log(wallClock() + " " + text);
}

void PtyServer::run(int inputFd, const std::function<bool()> &onInput)
{
    // The pacing imitates a UART to the byte; the kernel's default 50 us of timer slack
    // would make every paced response late.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    bool watchInput = inputFd >= 0 && onInput;
    for (;;) {
        const auto now = Clock::now();
        // Sleep until the next thing due; forever when nothing is.
        std::optional<Clock::time_point> next;
        const auto consider = [&](Clock::time_point t) {
            next = next ? std::min(*next, t) : t;
        };
        if (!m_outbox.empty())
            consider(m_outbox.begin()->first);
        if (m_reopenPending)
            consider(m_reopenAt);
        if (m_model.receiving())
            consider(m_lastByte + kRequestGap);
        timespec timeout{};
        if (next) {
            const auto wait =
                std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(*next - now),
                         std::chrono::nanoseconds::zero());
            timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
            timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
        }

        pollfd fds[4] = {
            {m_wake, POLLIN, 0}, {m_master, POLLIN, 0}, {-1, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (watchInput)
            fds[2].fd = inputFd;
        const int rc = ppoll(fds, 4, next ? &timeout : nullptr, nullptr);
        if (rc < 0 && errno != EINTR)
            return;
        if (rc > 0 && ((fds[0].revents | fds[3].revents) & POLLIN) != 0)
            return;

        const auto after = Clock::now();
        if (rc > 0 && m_master >= 0 && fds[1].revents != 0)
            serveLine(after);
        if (rc > 0 && watchInput && fds[2].revents != 0)
            watchInput = onInput();
        writeDue(Clock::now());
        if (m_model.receiving() && Clock::now() - m_lastByte >= kRequestGap)
            m_model.idle();
        if (m_reopenPending && Clock::now() >= m_reopenAt) {
            m_reopenPending = false;
            std::string error;
            if (open(&error)) {
                log("reader back on " + slavePath());
                if (m_reopened)
                    m_reopened(slavePath());
            } else {
                log("cannot reopen: " + error);
            }
        }
    }
}

void PtyServer::serveLine(TimePoint now)
{
    std::uint8_t buf[4096];
    const ssize_t n = ::read(m_master, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        // Cannot happen while we hold the slave open; if it does, do not spin on it.
        sleepUntil(now + kRequestGap);
        return;
    }
    if (!m_model.receiving())
        m_requestStart = now;
    m_lastByte = now;
    for (const Exchange &exchange : m_model.receive(std::span(buf, static_cast<std::size_t>(n)))) {
        handle(exchange, m_requestStart);
        m_requestStart = now;
        if (m_master < 0)
            break; // hung up
    }
}

void PtyServer::handle(const Exchange &exchange, TimePoint arrived)
{
    log(">> " + hexText(exchange.request));
    if (exchange.response.empty())
        return;
    const Delivery delivery = m_faults.shape(exchange.response);
    const std::string notes = delivery.notes.empty() ? "" : "  (" + delivery.notes + ")";
    if (delivery.hangUp) {
        hangUp();
        return;
    }
    log("<< " + hexText(exchange.response) + notes);
    auto due = Clock::now() + delivery.delay;
    if (delivery.paced) {
        // On a real line the request itself took its wire time to arrive.
        const auto requestWire = kByteTime * static_cast<long>(exchange.request.size());
        due = std::max(due, arrived + std::chrono::duration_cast<Clock::duration>(requestWire));
    }
    for (const Bytes &piece : delivery.pieces) {
        m_outbox.emplace(due, Scheduled{piece, delivery.paced});
        due += kSplitGap;
    }
}

void PtyServer::writeDue(TimePoint now)
{
    while (!m_outbox.empty() && m_outbox.begin()->first <= now) {
        const Scheduled item = m_outbox.begin()->second;
        m_outbox.erase(m_outbox.begin());
        writeToLine(item.bytes, item.paced);
        now = Clock::now();
    }
}

void PtyServer::writeToLine(const Bytes &bytes, bool paced)
{
    if (m_master < 0)
        return;
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        std::size_t chunk = bytes.size() - sent;
        if (paced) {
            // Each byte leaves when its ten bit times have passed, as from a real UART.
            sleepUntil(start + std::chrono::duration_cast<Clock::duration>(
                                   kByteTime * static_cast<long>(sent + 1)));
            chunk = 1;
        }
        const ssize_t n = ::write(m_master, bytes.data() + sent, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            log("line full: " + std::to_string(bytes.size() - sent) + " bytes not sent");
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace qn480::sim
