// SPDX-License-Identifier: GPL-3.0-or-later
#include "presence.h"

namespace qn480 {

namespace {

using namespace std::chrono_literals;

// A card is gone after this many passes without it, and no sooner than kGone.
constexpr int kMissedPasses = 2;
constexpr std::chrono::nanoseconds kGone = 100ms;

} // namespace

std::vector<PresenceEvent> PresenceTracker::pass(const std::optional<Card> &card)
{
    std::vector<PresenceEvent> events;
    const auto now = m_clock.now();
    if (card) {
        m_missed = 0;
        m_lastSeen = now;
        if (m_present && identity(*m_present) == identity(*card))
            return events;
        if (m_present)
            events.push_back({PresenceKind::Removed, *m_present});
        m_present = card;
        ++m_arrivals;
        events.push_back({PresenceKind::Present, *card});
        return events;
    }
    if (m_present && ++m_missed >= kMissedPasses && now - m_lastSeen >= kGone) {
        events.push_back({PresenceKind::Removed, *m_present});
        m_present.reset();
        m_missed = 0;
    }
    return events;
}

std::optional<PresenceEvent> PresenceTracker::end(RemovalCause cause)
{
    if (!m_present)
        return std::nullopt;
    PresenceEvent event{PresenceKind::Removed, std::move(*m_present), cause};
    m_present.reset();
    m_missed = 0;
    return event;
}

} // namespace qn480
