// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_json_read.h"

#include "text_util.h"

#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <stdexcept>

namespace qn480 {

namespace {

struct Unreadable : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

std::string text(const nlohmann::ordered_json &object, const char *key)
{
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        throw Unreadable(std::string("no \"") + key + "\"");
    return found->get<std::string>();
}

// The value of `key` among `choices`, each known by the name the log writes it with.
template <typename T, typename Name>
T named(const nlohmann::ordered_json &object, const char *key, std::initializer_list<T> choices,
        Name name)
{
    const std::string value = text(object, key);
    for (const T choice : choices) {
        if (value == name(choice))
            return choice;
    }
    throw Unreadable(std::string("\"") + key + "\" is none of the values a log holds");
}

Bytes bytes(const nlohmann::ordered_json &object, const char *key)
{
    auto value = hexBytes(text(object, key));
    if (!value)
        throw Unreadable(std::string("\"") + key + "\" is not hexadecimal");
    return *value;
}

std::uint8_t byte(const nlohmann::ordered_json &object, const char *key)
{
    const Bytes value = bytes(object, key);
    if (value.size() != 1)
        throw Unreadable(std::string("\"") + key + "\" is not one byte");
    return value[0];
}

// "2026-03-01T13:05:09.042Z", as the records are written.
EventTime utcTime(const std::string &stamp)
{
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milli = 0;
    char zone = 0;
    if (std::sscanf(stamp.c_str(), "%4d-%2u-%2uT%2d:%2d:%2d.%3d%c", &year, &month, &day, &hour,
                    &minute, &second, &milli, &zone) != 8 ||
        zone != 'Z')
        throw Unreadable("\"time\" is not a UTC time");
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                           std::chrono::day(day)};
    if (!date.ok())
        throw Unreadable("\"time\" is not a UTC time");
    return std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute) +
           std::chrono::seconds(second) + std::chrono::milliseconds(milli);
}

Card cardOf(const nlohmann::ordered_json &object)
{
    const auto air = airFromName(text(object, "interface"));
    if (!air)
        throw Unreadable("\"interface\" names no interface");
    switch (*air) {
    case AirInterface::Iso14443A: {
        TypeACard card;
        card.uid = bytes(object, "nfcid");
        card.atqa = bytes(object, "atqa_bytes");
        card.sak = byte(object, "sak");
        card.type = text(object, "type");
        if (object.contains("ats"))
            card.ats = bytes(object, "ats");
        return card;
    }
    case AirInterface::Iso14443B:
        return TypeBCard{bytes(object, "pupi"), bytes(object, "app_data"), bytes(object, "info")};
    case AirInterface::Felica: {
        FelicaCard card;
        card.slot = byte(object, "slot");
        card.subResponse = byte(object, "sub_response");
        card.idm = bytes(object, "idm");
        return card;
    }
    case AirInterface::Iso15693:
        return Iso15693Card{byte(object, "dsfid"), bytes(object, "uid")};
    }
    throw Unreadable("\"interface\" names no interface");
}

} // namespace

std::optional<EventRecord> eventFromJson(const nlohmann::ordered_json &object, std::string *why)
{
    try {
        if (!object.is_object())
            throw Unreadable("not an object");
        EventRecord record;
        record.card = cardOf(object);
        record.kind =
            named(object, "event", {PresenceKind::Present, PresenceKind::Removed}, eventName);
        if (object.contains("cause"))
            record.cause =
                named(object, "cause", {RemovalCause::Stopped, RemovalCause::Lost}, causeName);
        record.time = utcTime(text(object, "time"));
        if (const auto seq = object.find("seq"); seq != object.end() && seq->is_number_unsigned())
            record.seq = seq->get<std::uint64_t>();
        return record;
    } catch (const Unreadable &error) {
        if (why)
            *why = error.what();
        return std::nullopt;
    }
}

} // namespace qn480
