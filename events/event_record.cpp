// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_record.h"

#include "card_text.h"
#include "text_util.h"
#include "trace.h"

namespace qn480 {

namespace {

std::string compact(std::span<const std::uint8_t> bytes)
{
    return hexText(bytes, "");
}

std::string reversedHex(std::span<const std::uint8_t> bytes)
{
    return compact(std::vector<std::uint8_t>(bytes.rbegin(), bytes.rend()));
}

// The text fields: what other NFC tools print, the identifying one first.
std::vector<std::pair<std::string, std::string>> textFields(const Card &card)
{
    return std::visit(
        Overloaded{
            [](const TypeACard &c) {
                std::vector<std::pair<std::string, std::string>> fields{
                    {"nfcid", compact(c.uid)}, {"atqa", compact(c.atqa)}, {"sak", hexByte(c.sak)}};
                if (c.ats)
                    fields.emplace_back("ats", compact(*c.ats));
                fields.emplace_back("type", c.type);
                return fields;
            },
            [](const TypeBCard &c) {
                return std::vector<std::pair<std::string, std::string>>{
                    {"pupi", compact(c.pupi)},
                    {"app_data", compact(c.appData)},
                    {"info", compact(c.protocolInfo)}};
            },
            [](const FelicaCard &c) {
                return std::vector<std::pair<std::string, std::string>>{
                    {"idm", compact(c.idm)},
                    {"slot", hexByte(c.slot)},
                    {"sub_response", hexByte(c.subResponse)}};
            },
            [](const Iso15693Card &c) {
                return std::vector<std::pair<std::string, std::string>>{
                    {"uid_msb", reversedHex(c.uid)}, {"dsfid", hexByte(c.dsfid)}};
            },
        },
        card);
}

} // namespace

std::string_view eventName(PresenceKind kind)
{
    return kind == PresenceKind::Present ? "present" : "removed";
}

std::string_view causeName(RemovalCause cause)
{
    return cause == RemovalCause::Lost ? "lost" : "stopped";
}

EventRecord EventSequence::next(const PresenceEvent &event,
                                std::chrono::system_clock::time_point now)
{
    return {std::chrono::floor<std::chrono::milliseconds>(now), ++m_last, event.kind, event.card,
            event.cause};
}

std::vector<std::pair<std::string, std::string>> cardJsonFields(const Card &card)
{
    return std::visit(Overloaded{
                          [](const TypeACard &c) {
                              // "uid" and "atqa" are the page's forms: the reversed, filled UID and
                              // the first ATQA byte; the bytes as received follow.
                              std::vector<std::pair<std::string, std::string>> fields{
                                  {"uid", uidText(c.uid)},
                                  {"atqa", c.atqa.empty() ? std::string() : hexByte(c.atqa[0])},
                                  {"sak", hexByte(c.sak)},
                                  {"type", c.type},
                                  {"nfcid", compact(c.uid)},
                                  {"atqa_bytes", compact(c.atqa)}};
                              if (c.ats)
                                  fields.emplace_back("ats", compact(*c.ats));
                              return fields;
                          },
                          [](const TypeBCard &c) {
                              return std::vector<std::pair<std::string, std::string>>{
                                  {"pupi", compact(c.pupi)},
                                  {"app_data", compact(c.appData)},
                                  {"info", compact(c.protocolInfo)}};
                          },
                          [](const FelicaCard &c) {
                              return std::vector<std::pair<std::string, std::string>>{
                                  {"slot", hexByte(c.slot)},
                                  {"sub_response", hexByte(c.subResponse)},
                                  {"uid", compact(c.idm)},
                                  {"idm", compact(c.idm)}};
                          },
                          [](const Iso15693Card &c) {
                              return std::vector<std::pair<std::string, std::string>>{
                                  {"dsfid", hexByte(c.dsfid)},
                                  {"uid", compact(c.uid)},
                                  {"uid_msb", reversedHex(c.uid)}};
                          },
                      },
                      card);
}

nlohmann::ordered_json eventJson(const EventRecord &event, JsonExtras extras)
{
    nlohmann::ordered_json object;
    object["interface"] = airName(airOf(event.card));
    for (const auto &[key, value] : cardJsonFields(event.card))
        object[key] = value;
    object["event"] = eventName(event.kind);
    if (event.cause)
        object["cause"] = causeName(*event.cause);
    object["time"] = traceTimestamp(event.time, TimestampForm::Utc);
    if (extras.seq)
        object["seq"] = event.seq;
    if (extras.forms)
        object["forms"] = uidFormsJson(identity(event.card));
    return object;
}

nlohmann::ordered_json uidFormsJson(std::span<const std::uint8_t> uid)
{
    nlohmann::ordered_json forms = nlohmann::ordered_json::object();
    for (const UidFormValue &form : uidInEveryForm(uid)) {
        const std::string name(uidFormName(form.form));
        forms[name] = form.value ? nlohmann::ordered_json(*form.value) : nullptr;
    }
    return forms;
}

std::string eventJsonLine(const EventRecord &event, JsonExtras extras)
{
    return eventJson(event, extras).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string eventTextLine(const EventRecord &event, std::optional<UidForm> lead)
{
    std::string line = traceTimestamp(event.time) + " " + std::string(eventName(event.kind));
    if (lead) {
        const UidFormValue form = uidInForm(identity(event.card), *lead);
        line += " " + std::string(uidFormName(*lead)) + "=" + form.value.value_or("-");
    }
    const auto fields = textFields(event.card);
    for (const auto &[key, value] : fields) {
        line += " " + key + "=" + value;
        if (event.kind == PresenceKind::Removed)
            break;
    }
    if (event.cause)
        line += " cause=" + std::string(causeName(*event.cause));
    return line;
}

std::string eventLabel(const EventRecord &event)
{
    const auto fields = textFields(event.card);
    std::string label(eventName(event.kind));
    if (!fields.empty())
        label += " " + fields.front().first + "=" + fields.front().second;
    return label + " (seq " + std::to_string(event.seq) + ")";
}

std::string_view columnTitle(EventColumn column)
{
    switch (column) {
    case EventColumn::Time:
        return "Time";
    case EventColumn::Event:
        return "Event";
    case EventColumn::Interface:
        return "Interface";
    case EventColumn::Uid:
        return "UID (air order)";
    case EventColumn::Atqa:
        return "ATQA";
    case EventColumn::Sak:
        return "SAK";
    case EventColumn::Type:
        return "Card type";
    case EventColumn::Ats:
        return "ATS";
    case EventColumn::AppData:
        return "Application data";
    case EventColumn::ProtocolInfo:
        return "Protocol info";
    case EventColumn::Pmm:
        return "PMm";
    case EventColumn::Slot:
        return "Slot";
    case EventColumn::SubResponse:
        return "Sub-response";
    case EventColumn::Dsfid:
        return "DSFID";
    case EventColumn::UidMsb:
        return "UID (MSB first)";
    }
    return {};
}

std::string cellText(const EventRecord &event, EventColumn column)
{
    switch (column) {
    case EventColumn::Time:
        return traceTimestamp(event.time, TimestampForm::LocalIso);
    case EventColumn::Event:
        return std::string(eventName(event.kind));
    case EventColumn::Interface:
        return std::string(airName(airOf(event.card)));
    case EventColumn::Uid:
        return compact(identity(event.card));
    default:
        break;
    }
    return std::visit(Overloaded{
                          [column](const TypeACard &c) -> std::string {
                              switch (column) {
                              case EventColumn::Atqa:
                                  return compact(c.atqa);
                              case EventColumn::Sak:
                                  return hexByte(c.sak);
                              case EventColumn::Type:
                                  return c.type;
                              case EventColumn::Ats:
                                  return c.ats ? compact(*c.ats) : std::string();
                              default:
                                  return {};
                              }
                          },
                          [column](const TypeBCard &c) -> std::string {
                              if (column == EventColumn::AppData)
                                  return compact(c.appData);
                              if (column == EventColumn::ProtocolInfo)
                                  return compact(c.protocolInfo);
                              return {};
                          },
                          [column](const FelicaCard &c) -> std::string {
                              if (column == EventColumn::Pmm)
                                  return compact(c.pmm);
                              if (column == EventColumn::Slot)
                                  return hexByte(c.slot);
                              if (column == EventColumn::SubResponse)
                                  return hexByte(c.subResponse);
                              return {};
                          },
                          [column](const Iso15693Card &c) -> std::string {
                              if (column == EventColumn::Dsfid)
                                  return hexByte(c.dsfid);
                              if (column == EventColumn::UidMsb)
                                  return reversedHex(c.uid);
                              return {};
                          },
                      },
                      event.card);
}

} // namespace qn480
