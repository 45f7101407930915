// SPDX-License-Identifier: GPL-3.0-or-later
#include "spool.h"

#include "text_util.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qn480::station {

namespace {

// A record: "QNSP", body length (u32), CRC-32 of the body (u32), then the body: seq (u64),
// time (i64), kind (u8), UID length (u16), UID, payload. Little-endian throughout.
constexpr std::array<char, 4> kMagic{'Q', 'N', 'S', 'P'};
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kBodyFixedSize = 8 + 8 + 1 + 2;
// Far above any card record; a longer length is a damaged header, not a record to read.
constexpr std::size_t kMaxBodySize = 1 << 20;
// The state file holds two copies written in turn, so that a write cut short by a power cut
// leaves the other one.
constexpr std::size_t kStateSlotSize = 32;

std::uint32_t crc32(std::string_view bytes)
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes)
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void putLe(std::string &out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t getLe(std::string_view in, std::size_t at, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

[[noreturn]] void fail(const std::string &what, int error)
{
    throw SpoolError(what + ": " + std::generic_category().message(error));
}

// Every file of the spool is a regular file of its own: a symbolic link planted in its place
// is not followed (so its target is neither read nor truncated), and a FIFO does not hold
// the run at its open.
int openInSpool(const std::filesystem::path &path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    const int error = errno;
    struct stat status
    {};
    if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        return fd;
    if (fd >= 0)
        ::close(fd);
    else if (::lstat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode))
        fail("cannot open " + path.string(), error);
    throw SpoolError(path.string() + " is " +
                     (S_ISLNK(status.st_mode) ? "a symbolic link" : "not a regular file") +
                     ", which the spool does not take; remove it");
}

std::string segmentName(std::uint64_t firstSeq)
{
    char name[32];
    std::snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(firstSeq));
    return name;
}

void syncFolder(const std::filesystem::path &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        fail("cannot open the spool " + dir.string(), error);
    }
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        fail("cannot sync the spool " + dir.string(), error);
}

std::string readWhole(int fd, const std::filesystem::path &path)
{
    std::string data;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            fail("cannot read " + path.string(), error);
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
    return data;
}

std::string readWhole(const std::filesystem::path &path)
{
    const int fd = openInSpool(path, O_RDONLY);
    try {
        std::string data = readWhole(fd, path);
        ::close(fd);
        return data;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

// Writes all of `bytes`; the error of the call that failed, else 0. A write cut short by a
// full disk is tried again for the rest, so that the reason is the one its call gives.
int writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string encode(const SpooledEvent &event)
{
    std::string body;
    putLe(body, event.seq, 8);
    putLe(body, static_cast<std::uint64_t>(event.timeMs), 8);
    putLe(body, static_cast<std::uint8_t>(event.kind), 1);
    putLe(body, event.uid.size(), 2);
    body += event.uid;
    body += event.payload;
    std::string record(kMagic.begin(), kMagic.end());
    putLe(record, body.size(), 4);
    putLe(record, crc32(body), 4);
    return record + body;
}

} // namespace

Spool::Spool(std::filesystem::path dir, std::size_t capacity,
             std::function<void(const std::string &)> warn, std::size_t recordsPerSegment)
    : m_dir(std::move(dir))
    , m_capacity(std::max<std::size_t>(capacity, 1))
    , m_recordsPerSegment(std::max<std::size_t>(recordsPerSegment, 1))
    , m_warn(std::move(warn))
{
    std::error_code error;
    if (std::filesystem::create_directories(m_dir, error))
        std::filesystem::permissions(m_dir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
    if (error)
        throw SpoolError("cannot make the spool " + m_dir.string() + ": " + error.message());
    try {
        checkFolder();
        lockFolder();
        readId();
        readState();
        std::vector<Segment> found;
        for (const auto &entry : std::filesystem::directory_iterator(m_dir)) {
            const std::string name = entry.path().filename().string();
            const std::optional<long long> first =
                name.size() == 24 && name.ends_with(".seg")
                    ? decimalIn(std::string_view(name).substr(0, 20), 0, LLONG_MAX)
                    : std::nullopt;
            if (!first)
                continue;
            found.push_back({static_cast<std::uint64_t>(*first), 0, 0, entry.path()});
        }
        std::sort(found.begin(), found.end(),
                  [](const Segment &a, const Segment &b) { return a.firstSeq < b.firstSeq; });
        for (Segment &segment : found) {
            readSegment(segment);
            m_nextSeq = std::max(m_nextSeq, segment.endSeq);
            m_segments.push_back(segment);
        }
        m_nextSeq = std::max(m_nextSeq, m_sentThrough + 1);
        while (m_pending.size() > m_capacity)
            dropHead();
        removeSentSegments();
    } catch (...) {
        closeFiles();
        try {
            throw;
        } catch (const std::filesystem::filesystem_error &e) {
            throw SpoolError("cannot read the spool " + m_dir.string() + ": " + e.code().message());
        }
    }
}

Spool::~Spool()
{
    closeFiles();
}

void Spool::closeFiles()
{
    for (int *fd : {&m_appendFd, &m_stateFd, &m_lockFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void Spool::warn(const std::string &line) const
{
    if (m_warn)
        m_warn(line);
}

// Whoever may write to the folder may plant files in it that the spool then reads as events
// or writes through.
void Spool::checkFolder() const
{
    struct stat status
    {};
    if (::stat(m_dir.c_str(), &status) != 0) {
        const int error = errno;
        fail("cannot open the spool " + m_dir.string(), error);
    }
    if (!S_ISDIR(status.st_mode))
        throw SpoolError("the spool " + m_dir.string() + " is not a folder");
    if (status.st_uid != ::geteuid())
        throw SpoolError("the spool " + m_dir.string() + " belongs to another user (uid " +
                         std::to_string(status.st_uid) + "); give a folder of your own");
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        throw SpoolError("the spool " + m_dir.string() + " may be written by others (mode " + mode +
                         "); make it yours alone: chmod go-w " + m_dir.string());
    }
}

void Spool::lockFolder()
{
    m_lockFd = openInSpool(m_dir / "lock", O_RDWR | O_CREAT);
    // Two writers would hand out the same seqs and interleave their records.
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            throw SpoolError("the spool " + m_dir.string() + " is in use by another process");
        fail("cannot lock the spool " + m_dir.string(), error);
    }
}

// The id tells this folder's seqs from those of another folder of the same reader. It is
// made once, written whole under another name and then renamed, so that it is never seen
// half written; a spool of an older version, which has none, is given one.
void Spool::readId()
{
    const std::filesystem::path path = m_dir / "id";
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        const std::string stored = readWhole(path);
        const std::string_view text = trimmed(stored, "\n");
        if (text.size() == 16 &&
            std::all_of(text.begin(), text.end(), [](char c) { return hexDigitValue(c) >= 0; })) {
            m_id = text;
            return;
        }
        warn("spool: the id in " + path.string() + " is damaged; the spool gets a new one");
    }
    std::random_device random;
    char id[17];
    std::snprintf(id, sizeof id, "%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    const std::filesystem::path made = m_dir / "id.new";
    ::unlink(made.c_str());
    const int fd = openInSpool(made, O_WRONLY | O_CREAT | O_EXCL);
    int failure = writeAll(fd, std::string(id) + "\n");
    if (failure == 0 && ::fsync(fd) != 0)
        failure = errno;
    ::close(fd);
    if (failure == 0 && ::rename(made.c_str(), path.c_str()) != 0)
        failure = errno;
    if (failure != 0)
        fail("cannot write " + path.string(), failure);
    syncFolder(m_dir);
    m_id = id;
}

void Spool::readState()
{
    const std::filesystem::path path = m_dir / "state";
    std::error_code error;
    const bool existed = std::filesystem::exists(std::filesystem::symlink_status(path, error));
    m_stateFd = openInSpool(path, O_RDWR | O_CREAT);
    if (!existed)
        syncFolder(m_dir);
    const std::string data = readWhole(m_stateFd, path);
    for (std::size_t slot = 0; slot + kStateSlotSize <= data.size() && slot < 2 * kStateSlotSize;
         slot += kStateSlotSize) {
        const std::string_view copy = std::string_view(data).substr(slot, kStateSlotSize);
        if (getLe(copy, 24, 4) != crc32(copy.substr(0, 24)))
            continue; // cut short: the other copy holds the state before it
        const std::uint64_t generation = getLe(copy, 16, 8);
        if (generation >= m_stateGeneration) {
            m_stateGeneration = generation;
            m_sentThrough = getLe(copy, 0, 8);
            m_dropped = getLe(copy, 8, 8);
        }
    }
}

// Written in place, without a sync: kill -9 cannot lose it, and a power cut can only take
// it back to an older copy, so that some events already acknowledged go out again, with
// their seqs, as QoS 1 allows. Before segments are removed it is synced (`durable`).
void Spool::writeState(bool durable)
{
    ++m_stateGeneration;
    std::string copy;
    putLe(copy, m_sentThrough, 8);
    putLe(copy, m_dropped, 8);
    putLe(copy, m_stateGeneration, 8);
    putLe(copy, crc32(copy), 4);
    copy.resize(kStateSlotSize, '\0');
    const off_t at = static_cast<off_t>((m_stateGeneration % 2) * kStateSlotSize);
    const ssize_t written = ::pwrite(m_stateFd, copy.data(), copy.size(), at);
    if (written != static_cast<ssize_t>(copy.size())) {
        const int error = written < 0 ? errno : ENOSPC;
        fail("cannot write " + (m_dir / "state").string(), error);
    }
    if (durable && ::fdatasync(m_stateFd) != 0) {
        const int error = errno;
        fail("cannot sync " + (m_dir / "state").string(), error);
    }
}

void Spool::readSegment(Segment &segment)
{
    const std::string data = readWhole(segment.path);
    const std::string_view all(data);
    const std::string_view magic(kMagic.data(), kMagic.size());
    std::uint64_t lastSeq = m_pending.empty() ? m_sentThrough : m_pending.back().seq;
    std::size_t pos = 0;
    bool damaged = false; // within a run of bytes that are not a record
    while (pos < all.size()) {
        bool valid = all.size() - pos >= kHeaderSize && all.substr(pos, 4) == magic;
        std::size_t bodySize = 0;
        if (valid) {
            bodySize = getLe(all, pos + 4, 4);
            valid = bodySize >= kBodyFixedSize && bodySize <= kMaxBodySize &&
                    bodySize <= all.size() - pos - kHeaderSize &&
                    getLe(all, pos + 8, 4) == crc32(all.substr(pos + kHeaderSize, bodySize));
        }
        const std::string_view body =
            valid ? all.substr(pos + kHeaderSize, bodySize) : std::string_view();
        const std::size_t uidSize = valid ? getLe(body, 17, 2) : 0;
        valid = valid && kBodyFixedSize + uidSize <= body.size();
        const auto kind = valid ? static_cast<EventKind>(getLe(body, 16, 1)) : EventKind::Present;
        valid = valid && (kind == EventKind::Present || kind == EventKind::Removed);
        if (!valid) {
            if (!damaged) {
                ++m_skipped;
                warn("spool: skipped a damaged or incomplete record in " +
                     segment.path.filename().string() + " at byte " + std::to_string(pos));
            }
            damaged = true;
            const std::size_t next = all.find(magic, pos + 1);
            pos = next == std::string_view::npos ? all.size() : next;
            continue;
        }
        damaged = false;
        pos += kHeaderSize + bodySize;
        SpooledEvent event;
        event.seq = getLe(body, 0, 8);
        event.timeMs = static_cast<std::int64_t>(getLe(body, 8, 8));
        event.kind = kind;
        event.uid = body.substr(kBodyFixedSize, uidSize);
        event.payload = body.substr(kBodyFixedSize + uidSize);
        segment.lastSeq = std::max(segment.lastSeq, event.seq);
        if (event.seq <= lastSeq)
            continue; // acknowledged already, or a copy of one read before
        lastSeq = event.seq;
        m_pending.push_back(std::move(event));
    }
    // Records follow each other by seq, so the unreadable bytes at the end held the one after
    // the last good record, or the first of the segment. Its seq may have gone out already,
    // and must not come again with another event.
    if (damaged)
        segment.endSeq = segment.lastSeq != 0 ? segment.lastSeq + 2 : segment.firstSeq + 1;
    else
        segment.endSeq = segment.lastSeq != 0 ? segment.lastSeq + 1 : segment.firstSeq;
}

void Spool::openAppendSegment()
{
    // A segment of this name is empty (else nextSeq would be past it): an earlier run ended
    // between making it and writing to it.
    if (!m_segments.empty() && m_segments.back().firstSeq == m_nextSeq)
        m_segments.pop_back();
    Segment segment{m_nextSeq, 0, m_nextSeq, m_dir / segmentName(m_nextSeq)};
    m_appendFd = openInSpool(segment.path, O_WRONLY | O_CREAT | O_APPEND);
    if (::ftruncate(m_appendFd, 0) != 0) {
        const int error = errno;
        ::close(m_appendFd);
        m_appendFd = -1;
        fail("cannot make " + segment.path.string(), error);
    }
    syncFolder(m_dir);
    m_segments.push_back(segment);
    m_appendRecords = 0;
}

std::size_t Spool::append(SpooledEvent &event)
{
    if (m_appendFd >= 0 && m_appendRecords >= m_recordsPerSegment) {
        ::close(m_appendFd);
        m_appendFd = -1;
    }
    if (m_appendFd < 0)
        openAppendSegment();
    event.seq = m_nextSeq;
    const std::string record = encode(event);
    const off_t before = ::lseek(m_appendFd, 0, SEEK_END);
    int error = writeAll(m_appendFd, record);
    if (error == 0 && ::fdatasync(m_appendFd) != 0)
        error = errno;
    if (error != 0) {
        // Whatever part of it reached the file is cut off again, so that the next record
        // does not follow a torn one.
        if (before >= 0 && ::ftruncate(m_appendFd, before) != 0) {
            ::close(m_appendFd);
            m_appendFd = -1;
        }
        fail("cannot write to the spool " + m_dir.string(), error);
    }
    ++m_appendRecords;
    ++m_nextSeq;
    m_segments.back().lastSeq = event.seq;
    m_segments.back().endSeq = m_nextSeq;
    std::size_t dropped = 0;
    if (m_pending.size() >= m_capacity) {
        dropHead();
        dropped = 1;
    }
    m_pending.push_back(event);
    if (dropped != 0)
        removeSentSegments();
    return dropped;
}

void Spool::dropHead()
{
    m_sentThrough = m_pending.front().seq;
    m_pending.pop_front();
    ++m_dropped;
    while (!m_pending.empty() && m_ackedAhead.erase(m_pending.front().seq) != 0) {
        m_sentThrough = m_pending.front().seq;
        m_pending.pop_front();
    }
    m_ackedAhead.erase(m_ackedAhead.begin(), m_ackedAhead.upper_bound(m_sentThrough));
    writeState(false);
}

void Spool::markSent(std::uint64_t seq)
{
    if (seq <= m_sentThrough || m_pending.empty())
        return;
    if (m_pending.front().seq != seq) {
        if (seq <= m_pending.back().seq)
            m_ackedAhead.insert(seq);
        return;
    }
    m_sentThrough = seq;
    m_pending.pop_front();
    while (!m_pending.empty() && m_ackedAhead.erase(m_pending.front().seq) != 0) {
        m_sentThrough = m_pending.front().seq;
        m_pending.pop_front();
    }
    writeState(false);
    removeSentSegments();
}

void Spool::removeSentSegments()
{
    bool synced = false;
    while (m_segments.size() > 1 &&
           (m_segments.front().lastSeq <= m_sentThrough || m_segments.front().lastSeq == 0)) {
        if (!synced) {
            // The state must not be older than the files it lets go of.
            writeState(true);
            synced = true;
        }
        std::error_code ignored;
        std::filesystem::remove(m_segments.front().path, ignored);
        m_segments.pop_front();
    }
}

} // namespace qn480::station
