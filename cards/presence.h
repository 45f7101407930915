// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_record.h"
#include "clock.h"

#include <chrono>
#include <optional>
#include <vector>

namespace qn480 {

// Tells from the pass outcomes of one run when a card comes and goes. A card is removed
// once it has been missed for two passes in a row and at least 100 ms, so a single failed
// pass does not report it twice; another card in its place removes it at once.
class PresenceTracker
{
public:
    explicit PresenceTracker(const Clock &clock)
        : m_clock(clock)
    {}

    // After every pass: the card it found, if any. Returns the events in order, a removal
    // before the arrival that replaces it.
    std::vector<PresenceEvent> pass(const std::optional<Card> &card);

    // The end of the run: the removal of the card still in the field, if any, with its
    // cause. The card is forgotten, so a later pass reports it as a new arrival.
    std::optional<PresenceEvent> end(RemovalCause cause);

    // The card in the field, as it was when it came.
    const std::optional<Card> &present() const { return m_present; }
    int arrivals() const { return m_arrivals; }

private:
    const Clock &m_clock;
    std::optional<Card> m_present;
    std::chrono::nanoseconds m_lastSeen{};
    int m_missed = 0; // passes in a row without m_present
    int m_arrivals = 0;
};

} // namespace qn480
