// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_settings.h"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

// The names of the bits set in `byte`.
std::vector<std::string> namesIn(std::uint8_t byte, std::span<const BitName> names);
// "none", "byte", "bit" or "both": a Get may report both reversals; a Set never sends both.
std::string reversalText(std::uint8_t reverse);
// "none", "byte" or "bit" in any case as the byte a Set sends; nothing for anything else.
std::optional<std::uint8_t> reversalOf(std::string_view name);

// The six settings as one JSON object: mode, types, format, reverse, add, the three timings
// with their milliseconds, and "errors". An unread setting is null and named in "errors".
// Consumers and profiles alike depend on its keys.
nlohmann::ordered_json keypadJson(const KeypadSettings &settings, const KeypadErrors &errors);
// keypadJson()'s object read back, as a station's answer carries it: its settings, and the
// message of each one that was not read.
struct KeypadReading
{
    KeypadSettings settings;
    KeypadErrors errors;
};
KeypadReading keypadFromJson(const nlohmann::json &object);
// One JSON value on one line. Control characters other than \n, \r and \t are written as
// \u00XX (\b and \f too), so that a script's filter keeps matching.
std::string jsonText(const nlohmann::ordered_json &value);

// A profile that cannot be sent; the text names the field at fault.
class ProfileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A profile: keypadJson()'s object, some settings or all (comments allowed). Only values that
// the reader takes are accepted, so that a profile fails here and not half-way; it is sent as
// it is. Throws ProfileError.
KeypadPatch profilePatch(std::string_view text);
// The profile's object for the parts `patch` gives.
nlohmann::ordered_json patchJson(const KeypadPatch &patch);

} // namespace qn480
