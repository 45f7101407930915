// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_record.h"
#include "uid_forms.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

using EventTime = std::chrono::sys_time<std::chrono::milliseconds>;

// A card arriving or leaving, as every consumer downstream of the procedures sees it: the
// window's card log, the log file, CSV, actions, the broker and qn480ctl poll.
struct EventRecord
{
    EventTime time{};
    std::uint64_t seq = 0; // from 1, per run
    PresenceKind kind = PresenceKind::Present;
    Card card;
    std::optional<RemovalCause> cause = {}; // only on the removal that ends a run
    bool operator==(const EventRecord &) const = default;
};

// "present" or "removed".
std::string_view eventName(PresenceKind kind);
// "stopped" or "lost".
std::string_view causeName(RemovalCause cause);

// Stamps the presence events of one run with the time and numbers them from 1.
class EventSequence
{
public:
    EventRecord next(const PresenceEvent &event,
                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

private:
    std::uint64_t m_last = 0;
};

struct JsonExtras
{
    bool seq = false;   // add "seq"
    bool forms = false; // add "forms": every UID form, null where one cannot apply
};

// The record as one JSON object. Its fields, in order: "interface", the card's fields,
// "event", "cause" (only on a run's closing removal), "time", then the extras asked for.
nlohmann::ordered_json eventJson(const EventRecord &event, JsonExtras extras = {});
// Every form of `uid` by name, null where one cannot apply: poll's "forms" and uid-forms -j.
nlohmann::ordered_json uidFormsJson(std::span<const std::uint8_t> uid);
// The same on one line, without the newline. Text that is not UTF-8 is replaced, never thrown.
std::string eventJsonLine(const EventRecord &event, JsonExtras extras = {});

// "2026-03-01 14:05:09.042 present nfcid=12345678 atqa=0400 sak=08 type=Mifare Classic 1K".
// A removal names the card by its first field only, then its cause when a run's end made
// it ("cause=stopped"). With `lead`, the UID in that form comes
// first ("dec10=0305419896"; "-" where the form cannot apply).
std::string eventTextLine(const EventRecord &event, std::optional<UidForm> lead = {});

// The event in a message: "present nfcid=12345678 (seq 3)".
std::string eventLabel(const EventRecord &event);

// The card's fields as text, key and value, in the order JSON lines carry them.
std::vector<std::pair<std::string, std::string>> cardJsonFields(const Card &card);

// The columns of a table of events (the window's card log, CSV), one title each.
enum class EventColumn {
    Time,
    Event,
    Interface,
    Uid,
    Atqa,
    Sak,
    Type,
    Ats,
    AppData,
    ProtocolInfo,
    Pmm,
    Slot,
    SubResponse,
    Dsfid,
    UidMsb,
};
inline constexpr int kEventColumnCount = int(EventColumn::UidMsb) + 1;
std::string_view columnTitle(EventColumn column);
// One cell; empty where the card's interface has no such field.
std::string cellText(const EventRecord &event, EventColumn column);

} // namespace qn480
