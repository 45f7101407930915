// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_buffer.h"

#include <algorithm>

namespace qn480 {

EventBuffer::EventBuffer(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1))
{}

bool EventBuffer::push(EventRecord event)
{
    bool dropped = false;
    if (m_events.size() == m_capacity) {
        m_events.pop_front();
        ++m_dropped;
        dropped = true;
    }
    m_events.push_back(std::move(event));
    return dropped;
}

void EventBuffer::clear()
{
    m_events.clear();
    m_dropped = 0;
}

} // namespace qn480
