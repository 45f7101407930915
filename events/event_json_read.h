// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace qn480 {

// The record a line of the card log file (or of poll --json) was written from: its
// interface, card fields, event, time and, where present, seq. Nothing, with the reason in
// `why`, for an object that is not such a record.
std::optional<EventRecord> eventFromJson(const nlohmann::ordered_json &object,
                                         std::string *why = nullptr);

} // namespace qn480
