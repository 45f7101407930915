// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_events.h"

#include <cstring>

namespace qn480::cli {

namespace {

std::string seconds(std::chrono::milliseconds time)
{
    const long long ms = time.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text + " s";
}

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
        say(action + " ran past --action-timeout (" + seconds(m_actionTimeout) + ") and was ended");
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
