// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qn480 {

using Bytes = std::vector<std::uint8_t>;

// The air interfaces a reader polls, by the names used on the command line and in records:
// "14a", "14b", "felica", "15693".
enum class AirInterface { Iso14443A, Iso14443B, Felica, Iso15693 };
std::string_view airName(AirInterface air);
std::optional<AirInterface> airFromName(std::string_view name); // any case

// Every card record keeps its bytes in the order the card sent them.

struct TypeACard
{
    Bytes uid;  // 4, 7 or 10 bytes, every cascade level, the cascade tags left out
    Bytes atqa; // both bytes of the answer to the request
    std::uint8_t sak = 0;
    std::optional<Bytes> ats;           // the answer to select, when the card gave one
    std::optional<bool> probeSucceeded; // the security-level probe, when it was sent
    std::string type;                   // "Mifare Classic 1K", "Unknown Type !", ...
    bool operator==(const TypeACard &) const = default;
};

struct TypeBCard
{
    Bytes pupi;         // 4 bytes
    Bytes appData;      // 4 bytes
    Bytes protocolInfo; // 3 bytes
    bool operator==(const TypeBCard &) const = default;
};

struct FelicaCard
{
    std::uint8_t slot = 0;
    std::uint8_t subResponse = 0;
    Bytes idm;
    Bytes pmm; // empty when the reader sent none
    bool operator==(const FelicaCard &) const = default;
};

struct Iso15693Card
{
    std::uint8_t dsfid = 0;
    Bytes uid; // 8 bytes, least significant first, as they came over the air
    bool operator==(const Iso15693Card &) const = default;
};

using Card = std::variant<TypeACard, TypeBCard, FelicaCard, Iso15693Card>;

// One lambda per card kind, for std::visit on a Card.
template <class... Ts> struct Overloaded : Ts...
{
    using Ts::operator()...;
};
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

AirInterface airOf(const Card &card);
// The bytes that tell one card from another: the Type A UID, the PUPI, the IDm, the
// ISO15693 UID.
const Bytes &identity(const Card &card);

// A card arriving on the reader or leaving it, after the debounce.
enum class PresenceKind { Present, Removed };

// Why a card was removed without being seen to leave: the run ended with it on the reader,
// in order (Stop, a count reached, a signal) or because the reader went away.
enum class RemovalCause { Stopped, Lost };

struct PresenceEvent
{
    PresenceKind kind = PresenceKind::Present;
    Card card;
    std::optional<RemovalCause> cause = {}; // only on the removal that ends a run
};

} // namespace qn480
