// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <cstddef>
#include <cstdint>
#include <deque>

namespace qn480 {

// The events of a session, oldest first, bounded: past the capacity the oldest one goes and
// is counted, so that a long session neither grows without end nor loses events unsaid.
class EventBuffer
{
public:
    static constexpr std::size_t kDefaultCapacity = 100'000;
    explicit EventBuffer(std::size_t capacity = kDefaultCapacity);

    // Whether the oldest event was dropped to make room.
    bool push(EventRecord event);
    // Drops the oldest event and counts it; a table model announces the row first.
    void dropOldest();
    void clear(); // the events and the count of dropped ones

    std::size_t size() const { return m_events.size(); }
    std::size_t capacity() const { return m_capacity; }
    const EventRecord &at(std::size_t i) const { return m_events.at(i); }
    std::uint64_t dropped() const { return m_dropped; }
    const std::deque<EventRecord> &events() const { return m_events; }

private:
    std::size_t m_capacity;
    std::deque<EventRecord> m_events;
    std::uint64_t m_dropped = 0;
};

} // namespace qn480
