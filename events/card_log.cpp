// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include "posix_files_windows.h"
#else
#include <sys/file.h>
#endif

namespace qn480 {

#ifdef _WIN32
using namespace posix_files;
#endif

namespace {

int syncData(int fd)
{
#if defined(__linux__)
    return ::fdatasync(fd);
#else
    return fsync(fd);
#endif
}

// flock, again after a signal; false when the file system has no locks.
bool lockFile(int fd, int operation)
{
    int done = 0;
    do
        done = flock(fd, operation);
    while (done != 0 && errno == EINTR);
    return done == 0;
}

// What cannot take a log: a FIFO or a socket waits for its other end, a block device would
// be overwritten.
std::string refusal(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "is a FIFO";
    if (S_ISSOCK(mode))
        return "is a socket";
    if (S_ISBLK(mode))
        return "is a block device";
    return {};
}

bool sameFile(const struct stat &a, const struct stat &b)
{
#ifdef _WIN32
    // No inode numbers; and a file open here cannot be renamed away by another writer.
    (void)a;
    (void)b;
    return true;
#else
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
#endif
}

std::filesystem::path rotated(const std::filesystem::path &path, int n)
{
    std::filesystem::path name = path;
    name += "." + std::to_string(n);
    return name;
}

} // namespace

std::filesystem::path defaultCardLogPath()
{
#if defined(__unix__) && !defined(__APPLE__)
    const char *state = std::getenv("XDG_STATE_HOME");
    // XDG takes only an absolute path; a relative one counts as unset.
    if (state && state[0] == '/')
        return std::filesystem::path(state) / "qn480" / "cards.jsonl";
    const char *home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::filesystem::path(home) / ".local" / "state" / "qn480" / "cards.jsonl";
#elif defined(_WIN32)
    if (const char *local = std::getenv("LOCALAPPDATA"); local && *local)
        return std::filesystem::path(local) / "qn480" / "cards.jsonl";
#elif defined(__APPLE__)
    if (const char *home = std::getenv("HOME"); home && home[0] == '/')
        return std::filesystem::path(home) / "Library" / "Application Support" / "qn480" /
               "cards.jsonl";
#endif
    return std::filesystem::path("qn480") / "cards.jsonl";
}

CardLogFile::CardLogFile(std::filesystem::path path, CardLogLimits limits)
    : m_path(std::move(path))
    , m_limits(limits)
{}

CardLogFile::~CardLogFile()
{
    close();
}

void CardLogFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

CardLogStatus CardLogFile::failure(int error, std::string_view what) const
{
    return {error,
            "card log " + m_path.string() + ": " + std::string(what) + ": " + std::strerror(error)};
}

std::string cardLogRefusal(const std::filesystem::path &path)
{
    struct stat info
    {};
    if (::stat(path.string().c_str(), &info) != 0)
        return {};
    return refusal(info.st_mode);
}

CardLogStatus CardLogFile::open()
{
    std::error_code ec;
    if (m_path.has_parent_path())
        std::filesystem::create_directories(m_path.parent_path(), ec);
    if (ec)
        return failure(ec.value(), "cannot create its folder");
    // Looked at first, since opening a FIFO waits for its reader.
    if (const std::string refused = cardLogRefusal(m_path); !refused.empty())
        return {EINVAL, "card log " + m_path.string() + ": " + refused + ", not a file"};
    // Badge numbers name people: the log is its owner's alone. Non-blocking, so that what
    // takes the place of the file meanwhile cannot hold the writer either.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    m_fd = ::open(m_path.string().c_str(), O_RDWR | kFlags, 0600);
    m_readable = m_fd >= 0;
    if (m_fd < 0 && errno == EACCES)
        m_fd = ::open(m_path.string().c_str(), O_WRONLY | kFlags, 0600);
    if (m_fd < 0)
        return failure(errno, "cannot open");
    struct stat info
    {};
    if (::fstat(m_fd, &info) != 0) {
        const int error = errno;
        close();
        return failure(error, "cannot open");
    }
    if (const std::string refused = refusal(info.st_mode); !refused.empty()) {
        close();
        return {EINVAL, "card log " + m_path.string() + ": " + refused + ", not a file"};
    }
    m_regular = S_ISREG(info.st_mode);
    return {};
}

// Takes the lock on the file that the path names now: another writer may have rotated
// the one this writer holds away.
CardLogStatus CardLogFile::lockCurrent()
{
    for (int tries = 0; tries < 8; ++tries) {
        if (m_fd < 0) {
            if (CardLogStatus opened = open(); !opened.ok())
                return opened;
        }
        if (!lockFile(m_fd, LOCK_EX))
            return {}; // a file system without locks: as a single writer
        if (!m_regular)
            return {};
        struct stat held
        {};
        struct stat named
        {};
        if (::fstat(m_fd, &held) == 0 && ::stat(m_path.string().c_str(), &named) == 0 &&
            sameFile(held, named))
            return {};
        close(); // the lock goes with it
    }
    return failure(EAGAIN, "cannot open");
}

CardLogStatus CardLogFile::rotate()
{
    std::error_code ec;
    for (int n = m_limits.files - 1; n >= 1; --n) {
        const std::filesystem::path from = n == 1 ? m_path : rotated(m_path, n - 1);
        const std::filesystem::path to = rotated(m_path, n);
        if (n == m_limits.files - 1)
            std::filesystem::remove(to, ec);
        if (std::filesystem::exists(from, ec))
            std::filesystem::rename(from, to, ec);
        if (ec)
            return failure(ec.value(), "cannot rotate");
    }
    if (m_limits.files <= 1 && ::ftruncate(m_fd, 0) != 0)
        return failure(errno, "cannot rotate");
    if (m_limits.files > 1)
        close(); // and its lock: the new file is locked afresh
    return lockCurrent();
}

CardLogStatus CardLogFile::append(const EventRecord &event)
{
    return appendLine(eventJsonLine(event, {.seq = true}));
}

CardLogStatus CardLogFile::appendLine(std::string_view line)
{
    if (CardLogStatus locked = lockCurrent(); !locked.ok())
        return locked;
    // What another writer has written counts: the size is measured under the lock.
    std::uint64_t size = 0;
    bool torn = false;
    const auto measure = [&] {
        struct stat info
        {};
        if (::fstat(m_fd, &info) != 0)
            return false;
        size = m_regular ? std::uint64_t(info.st_size) : 0;
        // A line torn by a power cut must not swallow the next one.
        char last = '\n';
        torn =
            size > 0 && m_readable && pread(m_fd, &last, 1, off_t(size - 1)) == 1 && last != '\n';
        return true;
    };
    bool measured = measure();
    // A whole line goes into the new file, never half of one into each.
    if (measured && m_regular && size > 0 &&
        size + line.size() + (torn ? 2 : 1) > m_limits.maxBytes) {
        if (CardLogStatus done = rotate(); !done.ok()) {
            if (m_fd >= 0)
                lockFile(m_fd, LOCK_UN);
            return done;
        }
        measured = measure();
    }
    if (!measured) {
        const int error = errno;
        close();
        return failure(error, "cannot write");
    }
    std::string text;
    text.reserve(line.size() + 2);
    if (torn)
        text += '\n';
    text.append(line);
    text += '\n';
    const ssize_t written = ::write(m_fd, text.data(), text.size());
    const int writeError = written < 0 ? errno : ENOSPC;
    if (written > 0 && written != ssize_t(text.size()) && m_regular) {
        // A part of a line would glue the next one to it: it is cut back to where this
        // write began, never into what another writer had written. Should that fail, the
        // torn end is closed before the next line, as after a power cut.
        [[maybe_unused]] const int cut = ::ftruncate(m_fd, off_t(size));
    }
    lockFile(m_fd, LOCK_UN);
    if (written != ssize_t(text.size()))
        return failure(writeError, "cannot write");
    if (syncData(m_fd) != 0) {
        // A device such as /dev/null has nothing to flush.
        if (m_regular || (errno != EINVAL && errno != EROFS && errno != ENOTSUP))
            return failure(errno, "cannot flush to disk");
    }
    return {};
}

CardLogWriter::CardLogWriter(std::filesystem::path path, Report report, CardLogLimits limits,
                             std::size_t queueLimit)
    : m_file(std::move(path), limits)
    , m_report(std::move(report))
    , m_queueLimit(std::max<std::size_t>(queueLimit, 1))
{
    m_worker = std::thread([this] { work(); });
}

CardLogWriter::~CardLogWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
        m_wake.notify_all();
    }
    m_worker.join();
}

void CardLogWriter::append(const EventRecord &event)
{
    std::string line = eventJsonLine(event, {.seq = true});
    std::lock_guard lock(m_mutex);
    if (m_queue.size() >= m_queueLimit) {
        ++m_dropped;
        return;
    }
    m_queue.push_back(std::move(line));
    m_wake.notify_all();
}

void CardLogWriter::flush()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

bool CardLogWriter::flushWithin(std::chrono::milliseconds time)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, time, [this] { return m_queue.empty() && !m_writing; });
}

void CardLogWriter::abandon()
{
    std::lock_guard lock(m_mutex);
    m_dropped += m_queue.size();
    m_queue.clear();
    if (!m_writing)
        m_idle.notify_all();
}

void CardLogWriter::work()
{
    for (;;) {
        std::string line;
        std::uint64_t dropped = 0;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty())
                return;
            line = std::move(m_queue.front());
            m_queue.pop_front();
            dropped = std::exchange(m_dropped, 0);
            m_writing = true;
        }
        CardLogStatus status = m_file.appendLine(line);
        if (status.ok() && dropped > 0) {
            status = {EAGAIN, "card log " + m_file.path().string() + ": " +
                                  std::to_string(dropped) +
                                  " events not logged: the disk did not keep up"};
        }
        if (status.message != m_lastMessage) {
            m_lastMessage = status.message;
            if (m_report)
                m_report(status);
        }
        std::lock_guard lock(m_mutex);
        m_writing = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}

CardLogContents readCardLog(const std::filesystem::path &path)
{
    CardLogContents contents;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        contents.error = path.string() + ": " + std::strerror(errno);
        return contents;
    }
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string text = whole.str();
    std::size_t number = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        ++number;
        const std::size_t end = text.find('\n', pos);
        const std::string where = path.string() + ":" + std::to_string(number);
        if (end == std::string::npos) {
            contents.warnings.push_back(where + ": the last line is cut off (a write that did not "
                                                "finish), skipped");
            break;
        }
        const std::string_view line = std::string_view(text).substr(pos, end - pos);
        pos = end + 1;
        if (line.empty())
            continue;
        auto object = nlohmann::ordered_json::parse(line, nullptr, false);
        if (object.is_discarded() || !object.is_object()) {
            contents.warnings.push_back(where + ": not a JSON object, skipped");
            continue;
        }
        contents.events.push_back(std::move(object));
    }
    return contents;
}

} // namespace qn480
