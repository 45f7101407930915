// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qn480 {

// $XDG_STATE_HOME/qn480/cards.jsonl (~/.local/state when unset); elsewhere the system's
// data folder for applications, under qn480.
std::filesystem::path defaultCardLogPath();

struct CardLogLimits
{
    std::uint64_t maxBytes = 10 * 1024 * 1024; // a file is rotated before it grows past this
    int files = 5;                             // in all: cards.jsonl and cards.jsonl.1 to .4
};

// The outcome of a write; a failure carries errno and a one-line reason naming the file.
struct CardLogStatus
{
    int error = 0;
    std::string message;
    bool ok() const { return error == 0; }
};

// Why `path` cannot take a card log: "is a FIFO", "is a socket" or "is a block device",
// which would hold up or damage the writer; "" for a file, a character device such as
// /dev/null, or nothing there yet.
std::string cardLogRefusal(const std::filesystem::path &path);

// The card log: one JSON line per event, each written with one write call and flushed to
// the disk before append() returns, so that a crash or a power cut loses at most the event
// being written. A write that fails halfway is cut off again, so the file holds whole lines.
// Several writers (two runs, two windows) may share one file: each append and rotation
// holds an flock on it, and the size and the file itself are looked at under that lock.
class CardLogFile
{
public:
    explicit CardLogFile(std::filesystem::path path, CardLogLimits limits = {});
    ~CardLogFile();
    CardLogFile(const CardLogFile &) = delete;
    CardLogFile &operator=(const CardLogFile &) = delete;

    CardLogStatus append(const EventRecord &event);
    // One line of JSON, without its newline.
    CardLogStatus appendLine(std::string_view line);

    const std::filesystem::path &path() const { return m_path; }

private:
    CardLogStatus open();
    CardLogStatus lockCurrent();
    CardLogStatus rotate();
    CardLogStatus failure(int error, std::string_view what) const;
    void close();

    std::filesystem::path m_path;
    CardLogLimits m_limits;
    int m_fd = -1;
    bool m_readable = false; // opened for reading too, to look at its last byte
    bool m_regular = true;   // a device (/dev/null) is neither rotated nor cut back
};

// A CardLogFile on a thread of its own, so that a slow disk (fdatasync takes milliseconds)
// never holds up polling. Lines are written in order; `report` is told, on the writer's
// thread, whenever the outcome changes: the first failure, a different one, and success
// after a failure. Past `queueLimit` waiting lines, events are not logged, and that is a
// failure too.
class CardLogWriter
{
public:
    using Report = std::function<void(const CardLogStatus &)>;
    CardLogWriter(std::filesystem::path path, Report report, CardLogLimits limits = {},
                  std::size_t queueLimit = 10'000);
    // Writes what is waiting, then ends.
    ~CardLogWriter();
    CardLogWriter(const CardLogWriter &) = delete;
    CardLogWriter &operator=(const CardLogWriter &) = delete;

    // Queues the event's line; never waits for the disk.
    void append(const EventRecord &event);
    // Waits until every line queued so far has been written or has failed.
    void flush();
    // flush() that gives up after `time`; true once the queue is done.
    bool flushWithin(std::chrono::milliseconds time);
    // Drops the lines still waiting (a second stop): only the one being written goes on.
    void abandon();
    const std::filesystem::path &path() const { return m_file.path(); }

private:
    void work();

    CardLogFile m_file;
    Report m_report;
    std::size_t m_queueLimit;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::string> m_queue;
    std::uint64_t m_dropped = 0;
    bool m_writing = false;
    bool m_closing = false;
    std::string m_lastMessage;
    std::thread m_worker;
};

struct CardLogContents
{
    std::vector<nlohmann::ordered_json> events;
    std::vector<std::string> warnings; // a torn or unreadable line, skipped
    std::string error;                 // the file could not be read at all
};

// Reads one log file. A last line without its newline (a write cut off by a power cut) and
// a line that is not a JSON object are skipped with a warning; neither is fatal.
CardLogContents readCardLog(const std::filesystem::path &path);

} // namespace qn480
