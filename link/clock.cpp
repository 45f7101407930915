// SPDX-License-Identifier: GPL-3.0-or-later
#include "clock.h"

#include <thread>

namespace qn480 {

std::chrono::nanoseconds SteadyClock::now() const
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

void SteadyClock::sleep(std::chrono::nanoseconds duration)
{
    if (duration <= std::chrono::nanoseconds::zero())
        return;
    // To a deadline, so that signals interrupting the sleep do not stretch it.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

SteadyClock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

} // namespace qn480
