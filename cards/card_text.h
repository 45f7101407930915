// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace qn480 {

// The UID of a Type A card as the pages show it (the cascade tags already left out): the
// bytes reversed and filled in front with "00" to 16 digits; ten bytes make 20.
std::string uidText(std::span<const std::uint8_t> uid);

// The MIFARE Plus letter carried by an answer to select (without its CRC, TL first): the
// fifth of exactly seven historical bytes that begin with 0xC1. Nothing when the answer
// lacks that marker.
std::optional<std::uint8_t> plusVariantFromAts(std::span<const std::uint8_t> ats);

// What a selected Type A card told us about itself.
struct TypeAFacts
{
    std::uint8_t atqa0 = 0;
    std::uint8_t atqa1 = 0;
    std::uint8_t sak = 0;
};

// A MIFARE Plus letter: 0x00 "S", 0x01 "X", anything else none.
inline constexpr std::uint8_t kPlusVariantNone = 0xFF;

enum class PlusLevel { SL0, SL1, SL2, SL3 };
enum class PlusSize { Size2K, Size4K };

// "Mifare Plus X SL3 4K" and the like.
std::string plusCardName(std::uint8_t variant, PlusLevel level, PlusSize size);

// Whether a card that answered the answer-to-select request can only be named after the
// security-level probe (SL0 when the probe succeeds, SL3 when not).
bool needsLevelProbe(const TypeAFacts &facts);
// The card type of a card that answered the answer-to-select request. `probeSucceeded`
// matters only when needsLevelProbe() holds.
std::string cardTypeWithAts(const TypeAFacts &facts, std::uint8_t plusVariant, bool probeSucceeded);
// The card type of a card that did not answer it.
std::string cardTypeWithoutAts(const TypeAFacts &facts);

} // namespace qn480
