// SPDX-License-Identifier: GPL-3.0-or-later
#include "actions.h"

#include "trace.h"

#include <algorithm>

namespace qn480 {

namespace {

// An environment value ends at a NUL; the rest of a value must not vanish unsaid.
std::string variable(std::string_view name, std::string value)
{
    std::replace(value.begin(), value.end(), '\0', '?');
    return std::string(name) + "=" + value;
}

} // namespace

std::vector<std::string> actionEnvironment(const EventRecord &event, std::optional<UidForm> form)
{
    const Bytes &uid = identity(event.card);
    const std::string type = std::holds_alternative<TypeACard>(event.card)
                                 ? std::get<TypeACard>(event.card).type
                                 : std::string();
    return {
        variable("QN480_EVENT", std::string(eventName(event.kind))),
        variable("QN480_INTERFACE", std::string(airName(airOf(event.card)))),
        variable("QN480_UID",
                 qn480::uidInForm(uid, form.value_or(UidForm::Hex)).value.value_or("")),
        variable("QN480_NFCID", qn480::uidInForm(uid, UidForm::Hex).value.value_or("")),
        variable("QN480_TYPE", type),
        variable("QN480_TIME", traceTimestamp(event.time, TimestampForm::Utc)),
        variable("QN480_JSON", eventJsonLine(event, {.seq = true, .forms = true})),
    };
}

bool ActionRunner::wants(PresenceKind kind) const
{
    return !(kind == PresenceKind::Present ? m_setup.onPresent : m_setup.onRemoved).empty();
}

void ActionRunner::post(const EventRecord &event)
{
    if (!wants(event.kind))
        return;
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        if (m_closing)
            return;
        if (m_queue.size() < m_setup.queueLimit) {
            m_queue.push_back(event);
            m_wake.notify_all();
            return;
        }
        dropped = ++m_dropped;
    }
    if (m_report)
        m_report({ActionOutcome::Kind::Dropped, int(std::min<std::uint64_t>(dropped, INT32_MAX)),
                  event});
}

std::uint64_t ActionRunner::dropped() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

void ActionRunner::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_closing = true;
        m_wake.notify_all();
    }
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id())
        m_worker.join();
}

bool ActionRunner::finishWithin(std::chrono::milliseconds time)
{
    if (!m_worker.joinable())
        return true;
    {
        std::unique_lock lock(m_mutex);
        m_closing = true;
        m_wake.notify_all();
        if (!m_finished.wait_for(lock, time, [this] { return m_done; }))
            return false;
    }
    m_worker.join();
    return true;
}

void ActionRunner::abandon()
{
    std::lock_guard lock(m_mutex);
    m_closing = true;
    m_abandoned = true;
    m_dropped += m_queue.size();
    m_queue.clear();
    m_wake.notify_all();
}

ActionRunner::ActionRunner(ActionSetup setup, Report report)
    : m_setup(std::move(setup))
    , m_report(std::move(report))
{
    if (!m_setup.onPresent.empty() || !m_setup.onRemoved.empty())
        m_worker = std::thread([this] { work(); });
}

ActionRunner::~ActionRunner()
{
    finish();
}

void ActionRunner::work()
{
    for (;;) {
        EventRecord event;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_queue.empty() || m_closing; });
            if (m_queue.empty()) {
                m_done = true;
                m_finished.notify_all();
                return;
            }
            event = std::move(m_queue.front());
            m_queue.pop_front();
        }
        run(event, event.kind == PresenceKind::Present ? m_setup.onPresent : m_setup.onRemoved);
    }
}

} // namespace qn480
