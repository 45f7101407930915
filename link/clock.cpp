// SPDX-License-Identifier: GPL-3.0-or-later
#include "clock.h"

#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace qn480 {

std::chrono::nanoseconds SteadyClock::now() const
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

void SteadyClock::sleep(std::chrono::nanoseconds duration)
{
    if (duration <= std::chrono::nanoseconds::zero())
        return;
#ifdef __linux__
    // The kernel may end a sleep up to the thread's timer slack late (50 us by default),
    // and the polling loops sleep five times a pass: ask for the deadlines as given.
    static thread_local const bool precise = prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) == 0;
    (void)precise;
#endif
    // To a deadline, so that signals interrupting the sleep do not stretch it.
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

SteadyClock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

} // namespace qn480
