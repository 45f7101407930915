// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qn480::station {

// What the retained diagnostics topic tells of the station's health.
struct Diagnostics
{
    std::size_t waiting = 0;                  // events in the spool not yet acknowledged
    std::optional<std::int64_t> oldestTimeMs; // Unix time of the oldest of them
    std::uint64_t dropped = 0;                // by the full spool, over its whole life
    std::uint64_t refused = 0;                // publishes of events refused in this run
    std::string lastError;                    // empty: none in this run
    std::optional<std::chrono::system_clock::time_point> connectedSince;
    std::string spool; // the spool's id; empty: left out
    std::string version;

    bool operator==(const Diagnostics &) const = default;
};

// The diagnostics topic's JSON; the oldest event's age is counted up to `now`.
std::string diagnosticsJson(const Diagnostics &diagnostics,
                            std::chrono::system_clock::time_point now);

// Home Assistant's retained discovery messages for the reader, topic and payload: the tag
// scanner on the uid topic, a "last card" sensor and a "spool depth" diagnostic sensor, the
// sensors available while the status topic says online. `base` is PREFIX/READER.
std::vector<std::pair<std::string, std::string>> homeAssistantConfigs(const std::string &base,
                                                                      const std::string &reader,
                                                                      const std::string &version);

} // namespace qn480::station
