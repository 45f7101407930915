// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "actions.h"
#include "card_log.h"
#include "event_record.h"
#include "options.h"

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

namespace qn480::cli {

// What poll does with each card event besides printing it: --log and the actions. Failures
// go to `err` as one line each, from whichever thread they happen on.
class PollEvents
{
public:
    PollEvents(const Options &options, std::ostream &err, int actionOutputFd = 2);
    // Lets the queued actions finish.
    ~PollEvents();
    PollEvents(const PollEvents &) = delete;
    PollEvents &operator=(const PollEvents &) = delete;

    // The event's line on stdout: JSON (with "forms" after --uid-form) or text.
    std::string line(const EventRecord &event) const;
    // Logs the event and queues its action; never waits for an action.
    void handle(const EventRecord &event);
    // Waits for the log's lines and the queued actions, each within its time-out, and tells
    // how many actions were dropped. When `stoppedAgain` says so (a second Ctrl-C), the
    // running action is ended and the rest dropped.
    void finish(const std::function<bool()> &stoppedAgain = {});

private:
    void say(const std::string &message);
    void report(const ActionOutcome &outcome);

    bool m_json = false;
    std::optional<UidForm> m_uidForm;
    std::chrono::milliseconds m_actionTimeout;
    std::ostream &m_err;
    std::mutex m_errMutex;
    std::unique_ptr<CardLogWriter> m_log;
    std::unique_ptr<ActionRunner> m_actions;
};

} // namespace qn480::cli
