// SPDX-License-Identifier: GPL-3.0-or-later
#include "pty_server.h"

#include "text_util.h"

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
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qn480::sim {

namespace {

using Clock = std::chrono::steady_clock;

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

// Where a symbolic link leads; "" when `path` is none.
std::string linkTarget(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool isPtsPath(std::string_view path)
{
    constexpr std::string_view kPts = "/dev/pts/";
    return path.substr(0, kPts.size()) == kPts && path.size() > kPts.size() &&
           path.find_first_not_of("0123456789", kPts.size()) == std::string_view::npos;
}

// Held while a link is looked at and changed: simulators sharing the link's folder take
// turns, so that two cannot both take one stale link, nor one remove a link another has
// just made. Bounded, so that a folder someone else keeps locked cannot stop the reader.
class FolderLock
{
public:
    explicit FolderLock(const std::string &link)
    {
        const auto slash = link.rfind('/');
        const std::string folder = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : link.substr(0, slash);
        m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0)
            return;
        const auto giveUp = Clock::now() + std::chrono::seconds(1);
        while (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || Clock::now() >= giveUp) {
                closeFd(m_fd);
                return;
            }
            sleepUntil(Clock::now() + std::chrono::milliseconds(2));
        }
    }
    ~FolderLock() { closeFd(m_fd); } // closing lets go of the lock
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int m_fd = -1;
};

} // namespace

PtyServer::PtyServer(ReaderModel &model, FaultInjector &faults)
    : m_model(model)
    , m_faults(faults)
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{}

PtyServer::~PtyServer()
{
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
    // Only now, with the pty ready, may anyone reach it through the link.
    if (!m_link.empty()) {
        if (std::string why; makeLink(&why) != LinkResult::Made)
            log(why);
    }
    return true;
}

std::string PtyServer::slavePath() const
{
    std::lock_guard lock(m_pathMutex);
    return m_slave;
}

PtyServer::LinkResult PtyServer::setLinkPath(const std::string &path, std::string *error)
{
    removeOwnLink();
    m_link = path;
    std::string why;
    const LinkResult result = makeLink(&why);
    if (result != LinkResult::Made) {
        m_link.clear();
        if (error)
            *error = why;
    }
    return result;
}

bool PtyServer::replaceable(const std::string &path, const std::string &own, std::string *why)
{
    struct stat st
    {};
    if (lstat(path.c_str(), &st) != 0)
        return true; // nothing there (or nothing we may see: making the link will tell)
    if (!S_ISLNK(st.st_mode)) {
        *why = path + " exists and is not a symbolic link; not replacing it";
        return false;
    }
    // Only a simulator's own link goes: one made by udev or by hand for a real reader must
    // survive a mistyped --link.
    const std::string target = linkTarget(path);
    if (!isPtsPath(target)) {
        *why = path + " is a symbolic link to " + target +
               ", not to a pseudo-terminal; not replacing it";
        return false;
    }
    // A pty's node lives exactly as long as its master: one still there belongs to a
    // running simulator or to some other program, and is not ours to take over.
    if (target != own && (stat(target.c_str(), &st) == 0 || errno != ENOENT)) {
        *why = path + " leads to " + target +
               ", a pseudo-terminal in use (another simulator's?); not replacing it";
        return false;
    }
    return true;
}

PtyServer::LinkResult PtyServer::makeLink(std::string *why)
{
    const std::string slave = slavePath();
    if (slave.empty())
        return LinkResult::Made; // made when the line is up again
    const FolderLock lock(m_link);
    if (!replaceable(m_link, slave, why)) {
        m_linkError = *why;
        return LinkResult::Refused;
    }
    struct stat st
    {};
    int error = 0;
    if (lstat(m_link.c_str(), &st) != 0) {
        // Made in place: should anyone put something there meanwhile, this fails.
        if (symlink(slave.c_str(), m_link.c_str()) != 0)
            error = errno;
    } else {
        // A stale link is replaced in one step, made aside and renamed over it.
        const std::string temp = m_link + ".new" + std::to_string(getpid());
        unlink(temp.c_str());
        if (symlink(slave.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), m_link.c_str()) != 0)
            error = errno;
        unlink(temp.c_str());
    }
    if (error != 0) {
        *why = "cannot make the link " + m_link + ": " + std::strerror(error);
        m_linkError = *why;
        return LinkResult::Failed;
    }
    m_linkedTo = slave;
    m_linkError.clear();
    return LinkResult::Made;
}

void PtyServer::removeOwnLink()
{
    if (m_linkedTo.empty())
        return;
    const FolderLock lock(m_link);
    // Only while it still leads to our pty: someone may have pointed it elsewhere meanwhile.
    if (linkTarget(m_link) == m_linkedTo)
        unlink(m_link.c_str());
    m_linkedTo.clear();
}

void PtyServer::closeLine()
{
    // The link goes first, while the pty's number is still ours: once it is handed out
    // again, nothing may reach another program's pty through a link of ours.
    removeOwnLink();
    closeFd(m_master);
    closeFd(m_slaveKeeper);
    std::lock_guard lock(m_pathMutex);
    m_slave.clear();
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
    log(">> " + hexText(exchange.request, " "));
    if (exchange.response.empty())
        return;
    const Delivery delivery = m_faults.shape(exchange.response);
    const std::string notes = delivery.notes.empty() ? "" : "  (" + delivery.notes + ")";
    if (delivery.hangUp) {
        hangUp();
        return;
    }
    log("<< " + hexText(exchange.response, " ") + notes);
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
