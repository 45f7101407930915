#include "clock.h"

#include <cerrno>
#include <ctime>

namespace qn480 {

std::chrono::nanoseconds SteadyClock::now() const
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

void SteadyClock::sleep(std::chrono::nanoseconds duration)
{
    if (duration <= std::chrono::nanoseconds::zero())
        return;
    // Absolute deadline, so that signals interrupting the sleep do not stretch it.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto total = deadline.tv_nsec + duration.count() % 1000000000;
    deadline.tv_sec += static_cast<time_t>(duration.count() / 1000000000 + total / 1000000000);
    deadline.tv_nsec = static_cast<long>(total % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

SteadyClock &steadyClock()
{
    static SteadyClock clock;
    return clock;
}

} // namespace qn480
