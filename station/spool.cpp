// SPDX-License-Identifier: GPL-3.0-or-later
#include "spool.h"

#include "text_util.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
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

std::string segmentName(std::uint64_t firstSeq)
{
    char name[32];
    std::snprintf(name, sizeof name, "%020llu.seg", static_cast<unsigned long long>(firstSeq));
    return name;
}

void syncFolder(const std::filesystem::path &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot open the spool " + dir.string(), errno);
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0)
        fail("cannot sync the spool " + dir.string(), error);
}

std::string readWhole(const std::filesystem::path &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read " + path.string(), errno);
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            fail("cannot read " + path.string(), error);
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
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
    std::filesystem::create_directories(m_dir, error);
    if (error)
        throw SpoolError("cannot make the spool " + m_dir.string() + ": " + error.message());
    try {
        lockFolder();
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
            found.push_back({static_cast<std::uint64_t>(*first), 0, entry.path()});
        }
        std::sort(found.begin(), found.end(),
                  [](const Segment &a, const Segment &b) { return a.firstSeq < b.firstSeq; });
        for (Segment &segment : found) {
            readSegment(segment);
            m_nextSeq = std::max({m_nextSeq, segment.firstSeq, segment.lastSeq + 1});
            m_segments.push_back(segment);
        }
        m_nextSeq = std::max(m_nextSeq, m_sentThrough + 1);
        while (m_pending.size() > m_capacity)
            dropHead();
        removeSentSegments();
    } catch (const std::filesystem::filesystem_error &e) {
        throw SpoolError("cannot read the spool " + m_dir.string() + ": " + e.code().message());
    }
}

Spool::~Spool()
{
    for (int fd : {m_appendFd, m_stateFd, m_lockFd}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void Spool::warn(const std::string &line) const
{
    if (m_warn)
        m_warn(line);
}

void Spool::lockFolder()
{
    const std::filesystem::path path = m_dir / "lock";
    m_lockFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0)
        fail("cannot open " + path.string(), errno);
    // Two writers would hand out the same seqs and interleave their records.
    if (::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw SpoolError("the spool " + m_dir.string() + " is in use by another process");
        fail("cannot lock the spool " + m_dir.string(), errno);
    }
}

void Spool::readState()
{
    const std::filesystem::path path = m_dir / "state";
    const bool existed = std::filesystem::exists(path);
    m_stateFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_stateFd < 0)
        fail("cannot open " + path.string(), errno);
    if (!existed)
        syncFolder(m_dir);
    const std::string data = readWhole(path);
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
    if (::pwrite(m_stateFd, copy.data(), copy.size(), at) != static_cast<ssize_t>(copy.size()))
        fail("cannot write " + (m_dir / "state").string(), errno);
    if (durable && ::fdatasync(m_stateFd) != 0)
        fail("cannot sync " + (m_dir / "state").string(), errno);
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
}

void Spool::openAppendSegment()
{
    // A segment of this name holds no valid record (else nextSeq would be past it): what is
    // left in it is the damaged tail of an earlier run.
    if (!m_segments.empty() && m_segments.back().firstSeq == m_nextSeq)
        m_segments.pop_back();
    Segment segment{m_nextSeq, 0, m_dir / segmentName(m_nextSeq)};
    m_appendFd =
        ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (m_appendFd < 0)
        fail("cannot make " + segment.path.string(), errno);
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
    ssize_t written;
    do {
        written = ::write(m_appendFd, record.data(), record.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(record.size()) || ::fdatasync(m_appendFd) != 0) {
        const int error = written < 0 ? errno : (errno != 0 ? errno : ENOSPC);
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
