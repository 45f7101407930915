// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_json.h"

#include "text_util.h"

#include <algorithm>
#include <set>

namespace qn480 {

namespace {

// Sorted by key: of several faults, the same one is told whatever the order in the file.
using ProfileJson = nlohmann::json;

[[noreturn]] void fault(std::string_view field, const std::string &problem)
{
    throw ProfileError(std::string(field) + ": " + problem);
}

std::string shown(const ProfileJson &value)
{
    std::string text = value.dump(-1, ' ', false, ProfileJson::error_handler_t::replace);
    if (text.size() > 40)
        text = text.substr(0, 37) + "...";
    return text;
}

std::uint8_t namesByte(std::string_view field, const ProfileJson &value,
                       std::span<const BitName> names)
{
    if (!value.is_array())
        fault(field, "takes a list of names such as [\"" + std::string(names[0].name) +
                         "\"], not " + shown(value));
    std::uint8_t byte = 0;
    for (const ProfileJson &item : value) {
        const auto mask = item.is_string() ? maskOf(item.get<std::string>(), names) : std::nullopt;
        if (!mask)
            fault(field, "unknown name " + shown(item) + "; use " + namesListed(names));
        byte |= *mask;
    }
    return byte;
}

int count(std::string_view field, const ProfileJson &value, int unitMs)
{
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 255)
        fault(field, shown(value) +
                         " is out of range; use a whole number from 0 to 255 (steps of " +
                         std::to_string(unitMs) + " ms)");
    return static_cast<int>(value.get<long long>());
}

} // namespace

KeypadPatch profilePatch(std::string_view text)
{
    // The parser would stop at a NUL and take what came before it for the whole profile.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
        throw ProfileError("not a JSON profile: a NUL byte at offset " + std::to_string(nul));
    // The parser lets the last of two equal keys win; an edited profile that names a
    // setting twice is a mistake to show, not to settle silently.
    std::vector<std::set<std::string>> keys;
    const ProfileJson::parser_callback_t noDuplicates = [&](int, ProfileJson::parse_event_t event,
                                                            ProfileJson &parsed) {
        if (event == ProfileJson::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == ProfileJson::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == ProfileJson::parse_event_t::key && !keys.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second) {
            fault(parsed.get<std::string>(), "given twice; a profile names each setting once");
        }
        return true;
    };
    ProfileJson root;
    try {
        root = ProfileJson::parse(text.begin(), text.end(), noDuplicates, true, true);
    } catch (const ProfileJson::exception &error) {
        // "[json.exception.parse_error.101] parse error at line 2, column 3: ...", and
        // "[json.exception.out_of_range.406] number overflow parsing '1e999'".
        std::string why = error.what();
        if (const auto at = why.find("] "); at != std::string::npos)
            why.erase(0, at + 2);
        throw ProfileError("not a JSON profile: " + why);
    }
    if (!root.is_object())
        throw ProfileError(
            "not a JSON profile: it must be one object, as keypad get --json prints");

    KeypadPatch c;
    for (const auto &[key, value] : root.items()) {
        if (value.is_null())
            fault(key, "is null: it could not be read when the profile was made");
        if (key == "mode") {
            c.mode = namesByte(key, value, kModeNames);
        } else if (key == "types") {
            c.types = namesByte(key, value, kTypeNames);
        } else if (key == "add") {
            c.add = namesByte(key, value, kAddNames);
        } else if (key == "format") {
            const auto code = value.is_string() ? formatOf(value.get<std::string>()) : std::nullopt;
            if (!code)
                fault(key, "unknown format " + shown(value) +
                               "; use 14H, 5D, 6H, 8D, 8H, 10D, 10H, 13D, 16H, 4D, 32H or "
                               "\"code 0xNN\"");
            c.format = static_cast<std::uint8_t>(*code);
        } else if (key == "reverse") {
            c.reverse = value.is_string() ? reversalOf(value.get<std::string>()) : std::nullopt;
            if (!c.reverse)
                fault(key, "takes none, byte or bit, not " + shown(value));
        } else if (key == "errors") {
            if (!value.is_object())
                fault(key, "must be an object, as keypad get --json prints it");
        } else {
            const auto timing = std::find_if(
                kTimingNames.begin(), kTimingNames.end(), [&field = key](const TimingName &t) {
                    return field == t.key || field == std::string(t.key) + "_ms";
                });
            if (timing == kTimingNames.end())
                fault(key, "unknown field; a profile holds mode, types, format, reverse, add, "
                           "send_time, scan_time and same_card_time");
            if (key != timing->key)
                continue; // the milliseconds are checked against the count below
            c.timing(timing->setting) =
                static_cast<std::uint8_t>(count(key, value, timing->unitMs));
        }
    }
    // A person who edits the milliseconds but not the count would otherwise be ignored.
    for (const TimingName &t : kTimingNames) {
        const std::string key = std::string(t.key) + "_ms";
        if (!root.contains(key))
            continue;
        const std::optional<std::uint8_t> &slot = c.timing(t.setting);
        const ProfileJson &ms = root[key];
        if (!slot || !ms.is_number_integer() || ms.get<long long>() != *slot * t.unitMs) {
            fault(key, shown(ms) + " does not match " + std::string(t.key) +
                           "; give the count in " + std::string(t.key) + " (steps of " +
                           std::to_string(t.unitMs) + " ms)");
        }
    }
    if (!c.mode && !c.types && !c.format && !c.reverse && !c.add && !c.sendTime && !c.scanTime &&
        !c.sameTime)
        throw ProfileError("the profile holds no setting");
    return c;
}

std::vector<std::string> namesIn(std::uint8_t byte, std::span<const BitName> names)
{
    std::vector<std::string> set;
    for (const BitName &n : names) {
        if ((byte & n.mask) != 0)
            set.emplace_back(n.name);
    }
    return set;
}

std::string reversalText(std::uint8_t reverse)
{
    const bool byte = (reverse & kReverseByte) != 0;
    const bool bit = (reverse & kReverseBit) != 0;
    return byte && bit ? "both" : byte ? "byte" : bit ? "bit" : "none";
}

std::optional<std::uint8_t> reversalOf(std::string_view name)
{
    // Both at once is what a reply may show, but neither keypad set nor the reader takes it.
    const std::string lower = lowerCase(name);
    if (lower == "none" || lower == "byte" || lower == "bit")
        return lower == "none" ? kNoReversal : lower == "byte" ? kReverseByte : kReverseBit;
    return std::nullopt;
}

nlohmann::ordered_json keypadJson(const KeypadSettings &settings, const KeypadErrors &errors)
{
    using Json = nlohmann::ordered_json;
    const auto error = [&](KeypadSetting s) -> const std::string & {
        return errors[settingIndex(s)];
    };
    const AddType &addType = settings.addType;
    Json object = Json::object();
    const auto names = [&](const char *key, KeypadSetting s, std::uint8_t byte,
                           std::span<const BitName> table) {
        object[key] = error(s).empty() ? Json(namesIn(byte, table)) : Json(nullptr);
    };
    names("mode", KeypadSetting::Mode, settings.mode, kModeNames);
    names("types", KeypadSetting::Type, settings.types, kTypeNames);
    const bool addTypeRead = error(KeypadSetting::AddType).empty();
    object["format"] = addTypeRead ? Json(formatText(addType.format)) : Json(nullptr);
    object["reverse"] = addTypeRead ? Json(reversalText(addType.reverse)) : Json(nullptr);
    names("add", KeypadSetting::AddType, addType.add, kAddNames);
    for (const TimingName &t : kTimingNames) {
        const int count = settings.bytes(t.setting)[0];
        const bool read = error(t.setting).empty();
        object[std::string(t.key)] = read ? Json(count) : Json(nullptr);
        object[std::string(t.key) + "_ms"] = read ? Json(count * t.unitMs) : Json(nullptr);
    }
    Json errorObject = Json::object();
    for (KeypadSetting setting : kSettingOrder) {
        if (!error(setting).empty())
            errorObject[std::string(settingInfo(setting).key)] = error(setting);
    }
    object["errors"] = errorObject;
    return object;
}

KeypadReading keypadFromJson(const nlohmann::json &object)
{
    KeypadReading reading;
    nlohmann::json given = nlohmann::json::object();
    for (const auto &[key, value] : object.items()) {
        if (key != "errors" && !value.is_null() && !(key == "reverse" && value == "both"))
            given[key] = value;
    }
    try {
        reading.settings = profilePatch(given.dump()).over(reading.settings);
    } catch (const ProfileError &) {
    }
    if (object.value("reverse", nlohmann::json()) == "both")
        reading.settings.addType.reverse = kReverseByte | kReverseBit;
    const nlohmann::json unread = object.value("errors", nlohmann::json::object());
    for (KeypadSetting setting : kSettingOrder) {
        const std::string key(settingInfo(setting).key);
        if (unread.contains(key) && unread[key].is_string())
            reading.errors[settingIndex(setting)] = unread[key].get<std::string>();
    }
    return reading;
}

std::string jsonText(const nlohmann::ordered_json &value)
{
    const std::string dumped =
        value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(dumped.size());
    // Outside strings JSON has no backslash, and inside them every backslash starts a
    // two-character escape: walking the pairs never splits one.
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i] != '\\' || i + 1 == dumped.size()) {
            out += dumped[i];
            continue;
        }
        const char escaped = dumped[++i];
        if (escaped == 'b')
            out += "\\u0008";
        else if (escaped == 'f')
            out += "\\u000c";
        else
            out += {'\\', escaped};
    }
    return out;
}

nlohmann::ordered_json patchJson(const KeypadPatch &patch)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    if (patch.mode)
        object["mode"] = namesIn(*patch.mode, kModeNames);
    if (patch.types)
        object["types"] = namesIn(*patch.types, kTypeNames);
    if (patch.format)
        object["format"] = formatText(*patch.format);
    if (patch.reverse)
        object["reverse"] = reversalText(*patch.reverse);
    if (patch.add)
        object["add"] = namesIn(*patch.add, kAddNames);
    const std::array timings{patch.sendTime, patch.scanTime, patch.sameTime};
    for (std::size_t i = 0; i < kTimingNames.size(); ++i) {
        if (timings[i])
            object[std::string(kTimingNames[i].key)] = *timings[i];
    }
    return object;
}

} // namespace qn480
