// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qn480 {

struct ActionSetup
{
    std::string onPresent = {}; // run with /bin/sh -c for each arrival; empty: nothing
    std::string onRemoved = {};
    std::chrono::milliseconds timeout{10'000};  // then SIGTERM ...
    std::chrono::milliseconds killAfter{2'000}; // ... and SIGKILL this long after it
    std::size_t queueLimit = 256;               // actions waiting; more are dropped
    std::optional<UidForm> uidForm = {};        // the form of QN480_UID; hex when none
    int outputFd = 2; // where an action's stdout and stderr go: never our stdout
};

// What became of an action that did not simply exit 0.
struct ActionOutcome
{
    enum class Kind {
        Failed,     // exited with a non-zero status (`value`)
        Signalled,  // ended by signal `value`
        TimedOut,   // ran past the time-out and was ended
        NotStarted, // could not be started (`value` is errno)
        Dropped,    // the queue was full; `value` is the count dropped so far
    };
    Kind kind = Kind::Failed;
    int value = 0;
    EventRecord event;
};

// The environment an action sees besides ours: QN480_EVENT, QN480_INTERFACE, QN480_UID,
// QN480_NFCID, QN480_TYPE, QN480_TIME and QN480_JSON, as NAME=value. The card reaches the
// command only this way, never in its text, so no card can inject shell text.
std::vector<std::string> actionEnvironment(const EventRecord &event,
                                           std::optional<UidForm> uidForm = {});

// Runs the actions of events one at a time, in the order posted, on a thread of its own,
// so that a slow action never holds up polling.
class ActionRunner
{
public:
    // `report` is called for every outcome other than exit 0, on the runner's thread, or on
    // the poster's for a dropped action.
    using Report = std::function<void(const ActionOutcome &)>;
    ActionRunner(ActionSetup setup, Report report);
    // Finishes the queue as finish(true) does.
    ~ActionRunner();
    ActionRunner(const ActionRunner &) = delete;
    ActionRunner &operator=(const ActionRunner &) = delete;

    // Whether an event of this kind has an action.
    bool wants(PresenceKind kind) const;
    // Queues the event's action, if it has one; never waits.
    void post(const EventRecord &event);
    // Waits for the queued actions to finish, each within its time-out. Safe to call more
    // than once.
    void finish();
    // finish() that gives up waiting after `time`; true once every action is done.
    bool finishWithin(std::chrono::milliseconds time);
    // Ends the running action at once (SIGTERM, then SIGKILL) and drops the queue: a second
    // stop while finish() waits. Safe from another thread.
    void abandon();
    std::uint64_t dropped() const;

private:
    void work();
    void run(const EventRecord &event, const std::string &command);

    ActionSetup m_setup;
    Report m_report;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<EventRecord> m_queue;
    std::uint64_t m_dropped = 0;
    bool m_closing = false;
    bool m_abandoned = false;
    bool m_done = false; // the worker has ended
    std::condition_variable m_finished;
    std::thread m_worker;
};

} // namespace qn480
