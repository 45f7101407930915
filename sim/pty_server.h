// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "faults.h"
#include "reader_model.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace qn480::sim {

// A quiet line this long abandons a half-received request.
inline constexpr std::chrono::milliseconds kRequestGap{20};
// After a hang-up, the reader comes back on a new pty this much later.
inline constexpr std::chrono::milliseconds kReopenDelay{1000};

// Puts a reader model on a pseudo-terminal: the tool opens the slave side like a serial
// port. The server keeps a descriptor of the slave open itself, so that the tool can close
// and reopen the port without the line hanging up, and keeps that slave raw, so that
// nothing is ever echoed back as a request.
class PtyServer
{
public:
    using Log = std::function<void(const std::string &line)>;

    PtyServer(ReaderModel &model, FaultInjector &faults);
    ~PtyServer();
    PtyServer(const PtyServer &) = delete;
    PtyServer &operator=(const PtyServer &) = delete;

    // Opens a new pty (closing the current one); false with `error` filled when it cannot.
    bool open(std::string *error = nullptr);
    // The slave device of the current pty; it changes after a hang-up, and is empty while
    // the line is down.
    std::string slavePath() const;
    enum class LinkResult { Made, Refused, Failed };
    // Keeps a symbolic link at `path` to the current slave. The link goes before the pty is
    // closed (a hang-up, the destructor), while its number is still ours, and comes back
    // once a new pty is ready. Only a symbolic link to a pty that no longer exists (a killed
    // simulator's) is replaced; anything else is refused. Fails when the link cannot be made.
    LinkResult setLinkPath(const std::string &path, std::string *error = nullptr);
    // Whether the link is there for the current pty; after a reopen it may not be, when
    // someone else took its path while the line was down (linkError() says why).
    bool hasLink() const { return !m_linkedTo.empty(); }
    const std::string &linkError() const { return m_linkError; }
    // Timestamped lines: requests (>>), responses (<<) with their faults, hang-ups.
    void setLog(Log log) { m_log = std::move(log); }
    // Told the new slave path when the reader comes back after a hang-up.
    void setReopened(std::function<void(const std::string &slave)> reopened)
    {
        m_reopened = std::move(reopened);
    }

    // Serves until stop(). `inputFd` (standard input, say) is watched as well: `onInput`
    // runs on this thread when it is readable and returns false to stop watching it.
    void run(int inputFd = -1, const std::function<bool()> &onInput = {});
    // Ends run(); safe from another thread and from a signal handler.
    void stop();
    // run() also ends when `fd` becomes readable: a signal pipe, say.
    void stopOn(int fd) { m_stopFd = fd; }
    // Closes the line now, as the hang-up fault does; a new pty follows kReopenDelay later.
    // Call it on the thread that runs run() (a command from `onInput`, say).
    void hangUp();

private:
    struct Scheduled
    {
        Bytes bytes;
        bool paced = false;
    };
    using TimePoint = std::chrono::steady_clock::time_point;

    void closeLine();
    void serveLine(TimePoint now);
    void handle(const Exchange &exchange, TimePoint arrived);
    void writeDue(TimePoint now);
    void writeToLine(const Bytes &bytes, bool paced);
    void log(const std::string &text);
    LinkResult makeLink(std::string *why);
    void removeOwnLink();
    static bool replaceable(const std::string &path, const std::string &own, std::string *why);

    ReaderModel &m_model;
    FaultInjector &m_faults;
    Log m_log;
    std::function<void(const std::string &)> m_reopened;

    int m_master = -1;
    int m_slaveKeeper = -1;
    int m_wake = -1; // eventfd written by stop()
    int m_stopFd = -1;
    mutable std::mutex m_pathMutex;
    std::string m_slave;
    std::string m_link;
    std::string m_linkedTo; // the slave the link was made for; empty when none is ours
    std::string m_linkError;

    std::multimap<TimePoint, Scheduled> m_outbox;
    TimePoint m_lastByte{};
    TimePoint m_requestStart{};
    bool m_reopenPending = false;
    TimePoint m_reopenAt{};
};

} // namespace qn480::sim
