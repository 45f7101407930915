// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_profile.h"

#include "keypad_names.h"
#include "keypad_settings.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <span>

namespace qn480::cli {

namespace {

using Json = nlohmann::json;

std::string lowerCase(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

[[noreturn]] void fault(std::string_view field, const std::string &problem)
{
    throw UsageError(std::string(field) + ": " + problem);
}

std::string shown(const Json &value)
{
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > 40)
        text = text.substr(0, 37) + "...";
    return text;
}

template <std::size_t N, std::size_t M>
std::uint8_t namesByte(std::string_view field, const Json &value,
                       const std::array<CheckName, N> &names, const std::array<BoxBit, M> &bits)
{
    std::string known;
    for (const CheckName &n : names)
        known += (known.empty() ? "" : ", ") + std::string(n.name);
    if (!value.is_array())
        fault(field, "takes a list of names such as [\"" + std::string(names[0].name) +
                         "\"], not " + shown(value));
    CheckedBoxes boxes;
    for (const Json &item : value) {
        const std::string name = item.is_string() ? lowerCase(item.get<std::string>()) : "";
        const auto found = std::find_if(names.begin(), names.end(),
                                        [&](const CheckName &n) { return n.name == name; });
        if (found == names.end())
            fault(field, "unknown name " + shown(item) + "; use " + known);
        boxes.set(found->box);
    }
    return packBoxes(bits, boxes);
}

int count(std::string_view field, const Json &value, int unitMs)
{
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 255)
        fault(field, shown(value) +
                         " is out of range; use a whole number from 0 to 255 (steps of " +
                         std::to_string(unitMs) + " ms)");
    return static_cast<int>(value.get<long long>());
}

} // namespace

KeypadChanges parseProfile(std::string_view text)
{
    Json root;
    try {
        root = Json::parse(text.begin(), text.end(), nullptr, true, true);
    } catch (const Json::parse_error &error) {
        // "[json.exception.parse_error.101] parse error at line 2, column 3: ..."
        std::string why = error.what();
        if (const auto at = why.find("] "); at != std::string::npos)
            why.erase(0, at + 2);
        throw UsageError("not a JSON profile: " + why);
    }
    if (!root.is_object())
        throw UsageError("not a JSON profile: it must be one object, as keypad get --json prints");

    KeypadChanges c;
    c.exact = true;
    for (const auto &[key, value] : root.items()) {
        if (value.is_null())
            fault(key, "is null: it could not be read when the profile was made");
        if (key == "mode") {
            c.mode = namesByte(key, value, kModeNames, kModeBits);
        } else if (key == "types") {
            c.types = namesByte(key, value, kTypeNames, kTypeBits);
        } else if (key == "add") {
            c.add = namesByte(key, value, kAddNames, kAdditionBits);
        } else if (key == "format") {
            const auto code = value.is_string() ? formatOf(value.get<std::string>()) : std::nullopt;
            if (!code)
                fault(key, "unknown format " + shown(value) +
                               "; use 14H, 5D, 6H, 8D, 8H, 10D, 10H, 13D, 16H, 4D, 32H or "
                               "\"code 0xNN\"");
            c.format = static_cast<std::uint8_t>(*code);
        } else if (key == "reverse") {
            constexpr std::array<std::pair<std::string_view, std::uint8_t>, 4> kCodes{{
                {"none", kNoReversal},
                {"byte", kReverseByte},
                {"bit", kReverseBit},
                {"both", kReverseByte | kReverseBit},
            }};
            const std::string name = value.is_string() ? lowerCase(value.get<std::string>()) : "";
            const auto found = std::find_if(kCodes.begin(), kCodes.end(),
                                            [&](const auto &k) { return k.first == name; });
            if (found == kCodes.end())
                fault(key, "takes none, byte, bit or both, not " + shown(value));
            c.reverse = found->second;
        } else if (key == "errors") {
            if (!value.is_object())
                fault(key, "must be an object, as keypad get --json prints it");
        } else {
            const auto timing =
                std::find_if(kTimingNames.begin(), kTimingNames.end(), [&](const TimingName &t) {
                    return key == t.key || key == std::string(t.key) + "_ms";
                });
            if (timing == kTimingNames.end())
                fault(key, "unknown field; a profile holds mode, types, format, reverse, add, "
                           "send_time, scan_time and same_card_time");
            if (key != timing->key)
                continue; // the milliseconds are checked against the count below
            std::optional<int> &slot = timing->timing == KeypadTiming::SendTime   ? c.sendTime
                                       : timing->timing == KeypadTiming::ScanTime ? c.scanTime
                                                                                  : c.sameTime;
            slot = count(key, value, timing->unitMs);
        }
    }
    // A person who edits the milliseconds but not the count would otherwise be ignored.
    for (const TimingName &t : kTimingNames) {
        const std::string key = std::string(t.key) + "_ms";
        if (!root.contains(key))
            continue;
        const std::optional<int> &slot = t.timing == KeypadTiming::SendTime   ? c.sendTime
                                         : t.timing == KeypadTiming::ScanTime ? c.scanTime
                                                                              : c.sameTime;
        const Json &ms = root[key];
        if (!slot || !ms.is_number_integer() || ms.get<long long>() != *slot * t.unitMs) {
            fault(key, shown(ms) + " does not match " + std::string(t.key) +
                           "; give the count in " + std::string(t.key) + " (steps of " +
                           std::to_string(t.unitMs) + " ms)");
        }
    }
    if (!c.any())
        throw UsageError("the profile holds no setting");
    return c;
}

std::string profileText(std::string_view getJson)
{
    const auto object = nlohmann::ordered_json::parse(getJson.begin(), getJson.end());
    std::string text = "{\n";
    bool first = true;
    for (const auto &[key, value] : object.items()) {
        if (key == "errors")
            continue;
        text += (first ? "  " : ",\n  ") + nlohmann::ordered_json(key).dump() + ": " +
                value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
        first = false;
    }
    return text + "\n}\n";
}

} // namespace qn480::cli
