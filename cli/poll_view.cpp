// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_view.h"

#include "card_text.h"
#include "json.h"
#include "reader_commands.h"
#include "status_text.h"
#include "text_util.h"
#include "trace.h"

#include <nlohmann/json.hpp>

#include <utility>
#include <variant>
#include <vector>

namespace qn480::cli {

namespace {

using namespace qn480::commands;

struct AirTexts
{
    std::string_view configuring;
    std::string_view configureFailed;
};

// The messages of a run, as the window's pages show them.
AirTexts airTexts(AirInterface air)
{
    switch (air) {
    case AirInterface::Iso14443A:
        return {"Configure registers in the QN480 to serve ISO14443A transaction.",
                "Initialize 43A Mode Failed!"};
    case AirInterface::Iso14443B:
        return {"Configure registers in the QN480 to serve ISO14443B transaction.",
                "Initialize 43B Mode Failed!"};
    case AirInterface::Felica:
        return {"Configure registers in the QN480 to serve Felica transaction",
                "Initialize Felica Mode Failed!"};
    case AirInterface::Iso15693:
        return {"Configure registers in the QN480 to serve ISO15693 transaction",
                "Initialize Felica Mode Failed!"};
    }
    return {};
}

constexpr std::string_view kCarrierOn = "Start 13.56-MHz carrier emission";
constexpr std::string_view kCarrierOff = "Stop 13.56-MHz carrier emission";

std::string hex(const Bytes &bytes)
{
    return hexText(bytes, "");
}

template <class... Ts> struct Overloaded : Ts...
{
    using Ts::operator()...;
};
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

using Fields = std::vector<std::pair<std::string, std::string>>;

// One card as a line carries it: the JSON fields and the text fields, in order.
struct CardFields
{
    Fields json;
    Fields text;
};

CardFields fieldsOf(const Card &card)
{
    return std::visit(
        Overloaded{
            [](const TypeACard &c) {
                CardFields f;
                const std::string sak = hexByte(c.sak);
                f.json = {{"uid", uidText(c.uid)},
                          {"atqa", c.atqa.empty() ? std::string() : hexByte(c.atqa[0])},
                          {"sak", sak},
                          {"type", c.type},
                          {"nfcid", hex(c.uid)},
                          {"atqa_bytes", hex(c.atqa)}};
                f.text = {{"nfcid", hex(c.uid)}, {"atqa", hex(c.atqa)}, {"sak", sak}};
                if (c.ats) {
                    f.json.emplace_back("ats", hex(*c.ats));
                    f.text.emplace_back("ats", hex(*c.ats));
                }
                f.text.emplace_back("type", c.type);
                return f;
            },
            [](const TypeBCard &c) {
                const Fields both{{"pupi", hex(c.pupi)},
                                  {"app_data", hex(c.appData)},
                                  {"info", hex(c.protocolInfo)}};
                return CardFields{both, both};
            },
            [](const FelicaCard &c) {
                const std::string slot = hexByte(c.slot);
                const std::string sub = hexByte(c.subResponse);
                return CardFields{{{"slot", slot},
                                   {"sub_response", sub},
                                   {"uid", hex(c.idm)},
                                   {"idm", hex(c.idm)}},
                                  {{"idm", hex(c.idm)}, {"slot", slot}, {"sub_response", sub}}};
            },
            [](const Iso15693Card &c) {
                // The UID arrives least significant byte first; labels and tools print it
                // the other way round.
                const std::string msb = hex(Bytes(c.uid.rbegin(), c.uid.rend()));
                const std::string dsfid = hexByte(c.dsfid);
                return CardFields{{{"dsfid", dsfid}, {"uid", hex(c.uid)}, {"uid_msb", msb}},
                                  {{"uid_msb", msb}, {"dsfid", dsfid}}};
            },
        },
        card);
}

// The text a page announces a card by on its status line.
std::string announcement(const Card &card)
{
    if (const auto *a = std::get_if<TypeACard>(&card))
        return uidText(a->uid);
    return std::string(trimmed(spacedHex(identity(card))));
}

} // namespace

std::string localTimestamp(std::chrono::system_clock::time_point time)
{
    // The window's trace carries the same form.
    return traceTimestamp(time);
}

std::string isoTimestamp(std::chrono::system_clock::time_point time)
{
    return traceTimestamp(time, true);
}

PollView::PollView(Setup setup, std::ostream &out, std::ostream &err, const Clock &clock,
                   WallClock wallClock)
    : m_setup(setup)
    , m_out(out)
    , m_err(err)
    , m_wallClock(wallClock ? std::move(wallClock)
                            : [] { return std::chrono::system_clock::now(); })
    , m_presence(clock)
{}

void PollView::tell(std::string_view message)
{
    if (message.empty() || message == m_lastMessage)
        return;
    m_lastMessage = message;
    if (!m_setup.quiet)
        m_err << message << std::endl;
}

void PollView::tellStatus(std::uint8_t status)
{
    tell(StatusText(status));
}

void PollView::stepStarting(CardStep step)
{
    if (step.code == kConfigure && step.group != kReaderGroup)
        tell(airTexts(m_setup.air).configuring);
    else if (step == CardStep{kReaderGroup, commands::kCarrierOn})
        tell(kCarrierOn);
    else if (step == CardStep{kReaderGroup, commands::kCarrierOff})
        tell(kCarrierOff);
}

void PollView::passEnded(const PassOutcome &outcome)
{
    if (outcome.card) {
        // The card line says what the page's announcement would; it is not told again.
        if (std::string text = announcement(*outcome.card); !text.empty())
            m_lastMessage = std::move(text);
    } else {
        tellStatus(outcome.status);
    }
    for (const PresenceEvent &event : m_presence.pass(outcome.card)) {
        print(event);
        if (event.kind == PresenceKind::Present && m_onCard)
            m_onCard();
    }
}

void PollView::runEnded(const RunOutcome &outcome)
{
    m_runEnd = outcome.end;
    if (outcome.end == RunEnd::ConfigureRefused) {
        if (StatusText(outcome.status).empty())
            tell(airTexts(m_setup.air).configureFailed);
        else
            tellStatus(outcome.status);
    } else if (outcome.end == RunEnd::CarrierRefused) {
        tellStatus(outcome.status);
    }
}

void PollView::print(const PresenceEvent &event)
{
    const auto now = m_wallClock();
    const CardFields card = fieldsOf(event.card);
    const std::string_view kind = event.kind == PresenceKind::Present ? "present" : "removed";
    std::string line;
    if (m_setup.json) {
        nlohmann::ordered_json object;
        object["interface"] = airName(m_setup.air);
        for (const auto &[key, value] : card.json)
            object[key] = value;
        object["event"] = kind;
        object["time"] = isoTimestamp(now);
        line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } else {
        line = localTimestamp(now) + " " + std::string(kind);
        if (event.kind == PresenceKind::Removed) {
            line += " " + card.text.front().first + "=" + card.text.front().second;
        } else {
            for (const auto &[key, value] : card.text)
                line += " " + key + "=" + value;
        }
    }
    m_out << line << std::endl;
}

} // namespace qn480::cli
