// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>

namespace qn480 {

using namespace std::chrono_literals;

// A monotonic clock with a sleep, injected so that tests run time-outs without waiting.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual std::chrono::nanoseconds now() const = 0;
    virtual void sleep(std::chrono::nanoseconds duration) = 0;
};

class SteadyClock final : public Clock
{
public:
    std::chrono::nanoseconds now() const override;
    void sleep(std::chrono::nanoseconds duration) override;
};

// The one instance the application and the simulator use.
SteadyClock &steadyClock();

} // namespace qn480
