// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_events.h"

#include "text_util.h"

#ifdef QN480_HAVE_STATION
#include "station.h"
#endif

#include <cstring>

namespace qn480::cli {

namespace {

// 1, 2, 4, 8, ...: a flood of cards is told, without a line for each.
bool powerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

} // namespace

PollEvents::PollEvents(const Options &options, std::ostream &err, int actionOutputFd)
    : m_json(options.json)
    , m_uidForm(options.uidForm)
    , m_actionTimeout(options.actions.timeout)
    , m_err(err)
    , m_mqtt(options.mqtt)
    , m_oneShot(options.count > 0 || options.timeout)
    , m_deliveryTimeout(options.deliveryTimeout)
{
    if (!options.logFile.empty()) {
        m_log = std::make_unique<CardLogWriter>(
            options.logFile, [this, path = options.logFile](const CardLogStatus &status) {
                say(status.ok() ? "card log " + path + ": written again" : status.message);
            });
    }
    if (!options.actions.onPresent.empty() || !options.actions.onRemoved.empty()) {
        ActionSetup setup = options.actions;
        setup.outputFd = actionOutputFd;
        m_actions = std::make_unique<ActionRunner>(
            std::move(setup), [this](const ActionOutcome &outcome) { report(outcome); });
    }
}

PollEvents::~PollEvents()
{
    finish();
}

std::optional<int> PollEvents::startStation(const std::string &device)
{
    if (m_mqtt.url.empty())
        return std::nullopt;
#ifdef QN480_HAVE_STATION
    try {
        auto config = station::stationConfig(m_mqtt, device, QN480_VERSION);
        // From the network thread.
        config.say = [this](const std::string &line) {
            say(line);
        };
        m_station = std::make_shared<station::Station>(std::move(config));
    } catch (const station::ConnectionError &error) {
        say(escapedText(stationErrorText(error)));
        return kExitUsage;
    } catch (const station::SpoolError &error) {
        say(escapedText(error.what()));
        return kExitReaderError;
    }
    return std::nullopt;
#else
    (void)device;
    say("--mqtt: this build of qn480ctl has no MQTT client");
    return kExitUsage;
#endif
}

std::string PollEvents::line(const EventRecord &event) const
{
    if (m_json)
        return eventJsonLine(event, {.forms = m_uidForm.has_value()});
    return eventTextLine(event, m_uidForm);
}

void PollEvents::handle(const EventRecord &event)
{
    if (m_log)
        m_log->append(event);
    if (m_actions)
        m_actions->post(event);
#ifdef QN480_HAVE_STATION
    if (m_station && !m_spoolFailed) {
        try {
            m_station->publish(event);
        } catch (const station::SpoolError &error) {
            // An event that cannot be kept must not pass for delivered: the poll ends.
            say("the event could not be spooled for the broker: " + escapedText(error.what()));
            m_spoolFailed = true;
        }
    }
#endif
}

bool PollEvents::failed() const
{
#ifdef QN480_HAVE_STATION
    return m_spoolFailed || (m_station && m_station->failed());
#else
    return false;
#endif
}

void PollEvents::betweenPasses([[maybe_unused]] Link &link)
{
#ifdef QN480_HAVE_STATION
    if (station::RemoteKeypad *remote = m_station ? m_station->remoteKeypad() : nullptr) {
        if (remote->due())
            remote->serve(link);
    }
#endif
}

void PollEvents::readerBack()
{
#ifdef QN480_HAVE_STATION
    if (station::RemoteKeypad *remote = m_station ? m_station->remoteKeypad() : nullptr)
        remote->readerBack();
#endif
}

int PollEvents::closeStation(int code, [[maybe_unused]] bool stopped,
                             [[maybe_unused]] const std::function<bool()> &stopSignalled)
{
#ifdef QN480_HAVE_STATION
    if (!m_station)
        return code;
    if (m_oneShot && !stopped) {
        m_station->waitUntilSent(m_deliveryTimeout, stopSignalled);
        m_station->close(std::chrono::milliseconds(0)); // that wait was the close's grace
    } else {
        m_station->close();
    }
    if (m_station->failed()) {
        say(escapedText(m_station->failure()));
        return code == kExitSuccess ? kExitReaderError : code;
    }
    const std::size_t waiting = m_station->counters().waiting;
    if (!m_oneShot || stopped || waiting == 0)
        return code;
    const std::string dir = escapedText(m_station->spoolDir().string());
    say(waiting == 1 ? "1 event waits in the spool " + dir + "; it goes out on the next run"
                     : std::to_string(waiting) + " events wait in the spool " + dir +
                           "; they go out on the next run");
    return code == kExitSuccess ? kExitUndelivered : code;
#else
    return code;
#endif
}

void PollEvents::finish(const std::function<bool()> &stoppedAgain)
{
    using namespace std::chrono_literals;
    // A disk that does not keep up holds the end only until a second stop.
    while (m_log && !m_log->flushWithin(50ms)) {
        if (stoppedAgain && stoppedAgain())
            m_log->abandon();
    }
    if (!m_actions)
        return;
    while (!m_actions->finishWithin(50ms)) {
        if (stoppedAgain && stoppedAgain())
            m_actions->abandon();
    }
    if (const std::uint64_t dropped = m_actions->dropped(); dropped > 0)
        say("actions not run: " + std::to_string(dropped) +
            " (a full queue or a second stop dropped them)");
    m_actions.reset();
}

void PollEvents::say(const std::string &message)
{
    std::lock_guard lock(m_errMutex);
    m_err << std::string(kProgram) + message + "\n" << std::flush;
}

void PollEvents::report(const ActionOutcome &outcome)
{
    const std::string action = "action for " + eventLabel(outcome.event);
    switch (outcome.kind) {
    case ActionOutcome::Kind::Failed:
        say(action + " exited with " + std::to_string(outcome.value));
        break;
    case ActionOutcome::Kind::Signalled:
        say(action + " was ended by signal " + std::to_string(outcome.value));
        break;
    case ActionOutcome::Kind::TimedOut:
        say(action + " ran past --action-timeout (" + secondsText(m_actionTimeout) +
            ") and was ended");
        break;
    case ActionOutcome::Kind::NotStarted:
        say(action + " could not start: " + std::strerror(outcome.value));
        break;
    case ActionOutcome::Kind::Dropped:
        if (powerOfTwo(outcome.value))
            say(action + " dropped: too many actions waiting (" + std::to_string(outcome.value) +
                " dropped so far)");
        break;
    }
}

} // namespace qn480::cli
