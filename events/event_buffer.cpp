// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_buffer.h"

#include <algorithm>

namespace qn480 {

EventBuffer::EventBuffer(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1))
{}

bool EventBuffer::push(EventRecord event)
{
    const bool full = m_events.size() >= m_capacity;
    if (full)
        dropOldest();
    m_events.push_back(std::move(event));
    return full;
}

void EventBuffer::dropOldest()
{
    if (m_events.empty())
        return;
    m_events.pop_front();
    ++m_dropped;
}

void EventBuffer::clear()
{
    m_events.clear();
    m_dropped = 0;
}

} // namespace qn480
