// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qn480::station {

// A spool folder that cannot be made, locked, read or written.
class SpoolError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class EventKind : std::uint8_t { Present = 1, Removed = 2 };

// One event as it waits for the broker: what goes out on the event topic, and what the uid
// and cards topics need of it.
struct SpooledEvent
{
    std::uint64_t seq = 0;
    std::int64_t timeMs = 0; // Unix time of the event, milliseconds
    EventKind kind = EventKind::Present;
    std::string uid;     // bare hexadecimal; may be empty for a removal
    std::string payload; // the event topic's JSON, seq and reader included
};

// The durable queue between the reader and the broker. Each event is one record, written
// with one write() and made durable with fdatasync() before append() returns, so an event
// that was handed on survives kill -9 and a power cut. Records live in segment files named
// after their first seq; a small state file says up to which seq the broker acknowledged and
// how many were dropped. Segments whose records are all acknowledged are removed, except the
// newest, which keeps the last seq for the next run.
//
// A record cut short by a power cut, or damaged, is skipped with a warning; the records
// after it are still found by their mark. Its seq is not handed out again, not even when it
// was the last one: a consumer sees a gap.
//
// Each folder has an id, made with it, so that (reader, spool id, seq) names one event even
// when a reader has had more than one spool. The folder and every file in it must be the
// user's own: a folder that others may write to, a symbolic link or a FIFO in it is refused.
//
// Not thread-safe: the station serialises calls.
class Spool
{
public:
    static constexpr std::size_t kDefaultCapacity = 100000;

    // Small segments are removed soon after the broker has them; big ones mean fewer files.
    static constexpr std::size_t kRecordsPerSegment = 4096;

    // Opens (and makes, mode 0700) the folder, takes its lock and reads what waits in it.
    // `warn` gets one line per problem met on the way (skipped records). Throws SpoolError.
    Spool(std::filesystem::path dir, std::size_t capacity = kDefaultCapacity,
          std::function<void(const std::string &)> warn = {},
          std::size_t recordsPerSegment = kRecordsPerSegment);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    const std::filesystem::path &dir() const { return m_dir; }
    std::size_t capacity() const { return m_capacity; }
    // 16 hexadecimal digits, random, made with the folder and kept for its life.
    const std::string &id() const { return m_id; }

    // The seq the next append() takes: one more than any this folder has handed out.
    std::uint64_t nextSeq() const { return m_nextSeq; }

    // Writes the event durably under nextSeq() (event.seq is set) and queues it. When the
    // spool holds `capacity` events already, the oldest is dropped first; the return value is
    // how many were dropped by this call (0 or 1). Throws SpoolError when it cannot write:
    // the event is then not in the spool and the seq is not used.
    std::size_t append(SpooledEvent &event);

    // The events not yet acknowledged, oldest first.
    const std::deque<SpooledEvent> &pending() const { return m_pending; }

    // The broker acknowledged `seq`. Acknowledgements may come in any order; the state file
    // moves on over every run of acknowledged seqs at the head of the queue.
    void markSent(std::uint64_t seq);

    // Events dropped because the spool was full, over the folder's whole life.
    std::uint64_t dropped() const { return m_dropped; }
    // Records skipped as damaged while opening.
    std::size_t skippedRecords() const { return m_skipped; }

    // Events still waiting for the broker: pending() less those acknowledged ahead of an
    // older one.
    std::size_t waiting() const { return m_pending.size() - m_ackedAhead.size(); }
    // Whether `seq`, still in pending(), was acknowledged already (an older one is not).
    bool acknowledgedAhead(std::uint64_t seq) const { return m_ackedAhead.count(seq) != 0; }

private:
    struct Segment
    {
        std::uint64_t firstSeq = 0;
        std::uint64_t lastSeq = 0; // 0: holds no valid record
        std::uint64_t endSeq = 0;  // past every seq the segment holds or held, damaged ones too
        std::filesystem::path path;
    };

    void checkFolder() const;
    void lockFolder();
    void readId();
    void readState();
    void closeFiles();
    void writeState(bool durable);
    void readSegment(Segment &segment);
    void openAppendSegment();
    void dropHead();
    void removeSentSegments();
    void warn(const std::string &line) const;

    std::filesystem::path m_dir;
    std::size_t m_capacity;
    std::size_t m_recordsPerSegment;
    std::function<void(const std::string &)> m_warn;
    std::string m_id;
    int m_lockFd = -1;
    int m_stateFd = -1;
    int m_appendFd = -1;
    std::uint64_t m_stateGeneration = 0;
    std::uint64_t m_sentThrough = 0; // every seq up to this one is acknowledged or dropped
    std::uint64_t m_dropped = 0;
    std::uint64_t m_nextSeq = 1;
    std::size_t m_skipped = 0;
    std::size_t m_appendRecords = 0; // records in the segment appended to
    std::deque<SpooledEvent> m_pending;
    std::set<std::uint64_t> m_ackedAhead; // acknowledged, but an older one is still out
    std::deque<Segment> m_segments;       // oldest first; the last one is appended to
};

} // namespace qn480::station
