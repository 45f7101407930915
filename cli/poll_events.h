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

namespace qn480 {
class Link;
namespace station {
class Station;
}
} // namespace qn480

namespace qn480::cli {

// What poll does with each card event besides printing it: --log, the actions and --mqtt's
// station. Failures go to `err` as one line each, from whichever thread they happen on.
class PollEvents
{
public:
    PollEvents(const Options &options, std::ostream &err, int actionOutputFd = 2);
    // Lets the queued actions finish.
    ~PollEvents();

    // With --mqtt: starts the station of the reader on `device`. A failure is told, and is
    // the command's exit code.
    std::optional<int> startStation(const std::string &device);

    // The event's line on stdout: JSON (with "forms" after --uid-form) or text.
    std::string line(const EventRecord &event) const;
    // Logs the event, queues its action and spools it for the broker; never waits.
    void handle(const EventRecord &event);
    // The station failed (its line comes with closeStation()) or an event could not be
    // spooled: the poll ends.
    bool failed() const;
    // Between two passes: the broker's keypad requests are served on the poll's port.
    void betweenPasses(Link &link);
    // The reader came back after a loss: perhaps another one, at its factory settings.
    void readerBack();
    // Waits for the log's lines and the queued actions, each within its time-out, and tells
    // how many actions were dropped. When `stoppedAgain` says so (a second Ctrl-C), the
    // running action is ended and the rest dropped.
    void finish(const std::function<bool()> &stoppedAgain = {});
    // Tells the broker the reader goes offline. A poll of a set length (--count, --timeout)
    // not `stopped` waits first, up to --delivery-timeout or until `stopSignalled`, for the
    // broker to take what waits in the spool, so that exit 0 means delivered. Returns `code`,
    // or the station's failure or undelivered events as the exit code.
    int closeStation(int code, bool stopped, const std::function<bool()> &stopSignalled);

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
    station::StationOptions m_mqtt;
    bool m_oneShot = false;
    std::chrono::milliseconds m_deliveryTimeout;
    // Shared, so that a build without a station never needs its type whole.
    std::shared_ptr<station::Station> m_station;
    bool m_spoolFailed = false;
};

} // namespace qn480::cli
