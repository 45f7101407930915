// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "reader_model.h"

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qn480::sim {

// Probabilities (0 to 1) of each fault, drawn per response.
struct FaultRates
{
    double drop = 0;
    double corrupt = 0;
    double noise = 0;
    double split = 0;
    double delay = 0;
    double pace = 0;
    double hangUp = 0;
    std::chrono::milliseconds delayBy{100};
};

// What to do with one response on the wire.
struct Delivery
{
    bool hangUp = false;               // close the line instead of answering
    std::vector<Bytes> pieces;         // written one after the other; none: dropped
    std::chrono::microseconds delay{}; // before the first piece
    bool paced = false;                // bytes at the real line rate
    std::string notes;                 // for the log: "corrupted, split 3"
};

// One byte at 115200 baud, 8N1: ten bit times.
inline constexpr std::chrono::nanoseconds kByteTime{86806};
// Between the pieces of a split response.
inline constexpr std::chrono::microseconds kSplitGap{1500};

// Decides the faults of each response from a seeded generator, so that a run can be
// repeated exactly.
class FaultInjector
{
public:
    explicit FaultInjector(FaultRates rates = {}, std::uint32_t seed = 1);
    Delivery shape(const Bytes &frame);
    const FaultRates &rates() const { return m_rates; }

private:
    bool happens(double probability);
    std::uint32_t below(std::uint32_t bound);

    FaultRates m_rates;
    std::mt19937 m_random;
};

} // namespace qn480::sim
