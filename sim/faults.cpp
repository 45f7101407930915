// SPDX-License-Identifier: GPL-3.0-or-later
#include "faults.h"

#include <algorithm>
#include <set>

namespace qn480::sim {

namespace {

constexpr std::uint8_t kStartMark = 0xAA;
constexpr std::uint32_t kMaxNoise = 8;
constexpr std::uint32_t kMaxPieces = 4;

} // namespace

FaultInjector::FaultInjector(FaultRates rates, std::uint32_t seed)
    : m_rates(rates)
    , m_random(seed)
{}

bool FaultInjector::happens(double probability)
{
    // From the raw 32-bit draws, which the standard fixes, so a seed repeats everywhere.
    return static_cast<double>(m_random()) / 4294967296.0 < probability;
}

std::uint32_t FaultInjector::below(std::uint32_t bound)
{
    return static_cast<std::uint32_t>(m_random() % bound);
}

Delivery FaultInjector::shape(const Bytes &frame)
{
    // Every fault is drawn for every response, so changing one rate does not change the
    // draws of the others.
    const bool hangUp = happens(m_rates.hangUp);
    const bool drop = happens(m_rates.drop);
    const bool corrupt = happens(m_rates.corrupt);
    const bool noise = happens(m_rates.noise);
    const bool split = happens(m_rates.split);
    const bool delay = happens(m_rates.delay);
    const bool pace = happens(m_rates.pace);

    Delivery delivery;
    std::vector<std::string> notes;
    if (hangUp) {
        delivery.hangUp = true;
        delivery.notes = "hang up";
        return delivery;
    }
    if (drop) {
        delivery.notes = "dropped";
        return delivery;
    }
    Bytes bytes = frame;
    if (corrupt && !bytes.empty()) {
        // Never into a start mark: the frame must still end, with a wrong checksum.
        std::uint8_t &checksum = bytes.back();
        checksum ^= (checksum ^ 0x01) == kStartMark ? 0x02 : 0x01;
        notes.push_back("corrupted");
    }
    if (noise) {
        const std::uint32_t count = 1 + below(kMaxNoise);
        Bytes junk;
        for (std::uint32_t i = 0; i < count; ++i) {
            // No start mark in the noise: it would begin a frame of its own.
            auto value = static_cast<std::uint8_t>(below(255));
            junk.push_back(value >= kStartMark ? static_cast<std::uint8_t>(value + 1) : value);
        }
        bytes.insert(bytes.begin(), junk.begin(), junk.end());
        notes.push_back("noise " + std::to_string(count));
    }
    if (split && bytes.size() >= 2) {
        const auto pieces = 2 + below(std::min<std::uint32_t>(
                                    kMaxPieces - 1, static_cast<std::uint32_t>(bytes.size() - 1)));
        std::set<std::size_t> cuts;
        while (cuts.size() < pieces - 1)
            cuts.insert(1 + below(static_cast<std::uint32_t>(bytes.size() - 1)));
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            delivery.pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(cut));
            from = cut;
        }
        delivery.pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                     bytes.end());
        notes.push_back("split " + std::to_string(pieces));
    } else {
        delivery.pieces.push_back(std::move(bytes));
    }
    if (delay) {
        delivery.delay = m_rates.delayBy;
        notes.push_back("delayed " + std::to_string(m_rates.delayBy.count()) + " ms");
    }
    if (pace) {
        delivery.paced = true;
        notes.push_back("paced");
    }
    for (const std::string &note : notes)
        delivery.notes += (delivery.notes.empty() ? "" : ", ") + note;
    return delivery;
}

} // namespace qn480::sim
