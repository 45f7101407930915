// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_text.h"

#include "text_util.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

namespace qn480 {

namespace {

constexpr std::string_view kUnknownType = "Unknown Type !";

// The ATQA byte 0 values of the MIFARE rows, and the subsets some rows accept.
enum class AtqaMatch {
    AnyMifare,  // 0x44, 0x04, 0x42, 0x02
    Ultralight, // 0x44
    Mini,       // 0x44, 0x04
    Desfire,    // 0x44 with ATQA byte 1 0x03
};

bool matches(AtqaMatch match, const TypeAFacts &facts)
{
    const std::uint8_t a = facts.atqa0;
    switch (match) {
    case AtqaMatch::AnyMifare:
        return a == 0x44 || a == 0x04 || a == 0x42 || a == 0x02;
    case AtqaMatch::Ultralight:
        return a == 0x44;
    case AtqaMatch::Mini:
        return a == 0x44 || a == 0x04;
    case AtqaMatch::Desfire:
        return a == 0x44 && facts.atqa1 == 0x03;
    }
    return false;
}

enum class Naming {
    Fixed,  // the row's text
    Plus,   // a MIFARE Plus name with the row's level and size
    Probed, // a MIFARE Plus name, level from the probe, size from ATQA
};

struct TypeRule
{
    std::uint8_t sak;
    AtqaMatch atqa;
    Naming naming;
    std::string_view text = {};
    PlusLevel level = PlusLevel::SL1;
    PlusSize size = PlusSize::Size2K;
};

// First matching row wins.
constexpr std::array kWithAts{
    TypeRule{0x20, AtqaMatch::Desfire, Naming::Fixed, "Mifare DESFire"},
    TypeRule{0x08, AtqaMatch::AnyMifare, Naming::Plus, {}, PlusLevel::SL1, PlusSize::Size2K},
    TypeRule{0x18, AtqaMatch::AnyMifare, Naming::Plus, {}, PlusLevel::SL1, PlusSize::Size4K},
    TypeRule{0x10, AtqaMatch::AnyMifare, Naming::Plus, {}, PlusLevel::SL2, PlusSize::Size2K},
    TypeRule{0x11, AtqaMatch::AnyMifare, Naming::Plus, {}, PlusLevel::SL2, PlusSize::Size4K},
    TypeRule{0x20, AtqaMatch::AnyMifare, Naming::Probed},
};

constexpr std::array kWithoutAts{
    TypeRule{0x00, AtqaMatch::Ultralight, Naming::Fixed, "Mifare Ultralight"},
    TypeRule{0x09, AtqaMatch::Mini, Naming::Fixed, "Mifare Mini"},
    TypeRule{0x08, AtqaMatch::AnyMifare, Naming::Fixed, "Mifare Classic 1K"},
    TypeRule{0x18, AtqaMatch::AnyMifare, Naming::Fixed, "Mifare Classic 4K"},
};

template <std::size_t N>
const TypeRule *firstMatch(const std::array<TypeRule, N> &rules, const TypeAFacts &facts)
{
    const auto it = std::find_if(rules.begin(), rules.end(), [&](const TypeRule &rule) {
        return rule.sak == facts.sak && matches(rule.atqa, facts);
    });
    return it == rules.end() ? nullptr : &*it;
}

std::string_view levelText(PlusLevel level)
{
    switch (level) {
    case PlusLevel::SL0:
        return "SL0";
    case PlusLevel::SL1:
        return "SL1";
    case PlusLevel::SL2:
        return "SL2";
    case PlusLevel::SL3:
        return "SL3";
    }
    return {};
}

} // namespace

std::string uidText(std::span<const std::uint8_t> uid)
{
    // Last byte first, filled in front with "00" to 16 digits; ten bytes make 20.
    constexpr std::size_t kShownBytes = 8;
    const std::vector<std::uint8_t> reversed(uid.rbegin(), uid.rend());
    const std::size_t fill = uid.size() < kShownBytes ? kShownBytes - uid.size() : 0;
    return std::string(2 * fill, '0') + hexText(reversed, "");
}

std::optional<std::uint8_t> plusVariantFromAts(std::span<const std::uint8_t> ats)
{
    // ISO/IEC 14443-4: TL, T0, then TA/TB/TC as flagged in T0, then the historical bytes.
    const auto at = [&](std::size_t i) -> std::uint8_t {
        return i < ats.size() ? ats[i] : 0;
    };
    if (ats.empty() || std::size_t{ats[0]} != ats.size())
        return std::nullopt;
    const int tl = ats[0];
    const std::uint8_t t0 = at(1);
    int interfaceBytes = 0;
    for (std::uint8_t presence : {0x10, 0x20, 0x40}) {
        if (t0 & presence)
            ++interfaceBytes;
    }
    constexpr int kMarkedHistoricalBytes = 7;
    const int firstHistorical = tl - kMarkedHistoricalBytes;
    if (tl - 2 - interfaceBytes != kMarkedHistoricalBytes ||
        at(std::size_t(firstHistorical)) != 0xC1)
        return std::nullopt;
    return at(std::size_t(firstHistorical + 4));
}

std::string plusCardName(std::uint8_t variant, PlusLevel level, PlusSize size)
{
    std::string name = "Mifare Plus ";
    if (variant == 0x00)
        name += "S ";
    else if (variant == 0x01)
        name += "X ";
    name += levelText(level);
    name += size == PlusSize::Size2K ? " 2K" : " 4K";
    return name;
}

bool needsLevelProbe(const TypeAFacts &facts)
{
    const TypeRule *rule = firstMatch(kWithAts, facts);
    return rule && rule->naming == Naming::Probed;
}

std::string cardTypeWithAts(const TypeAFacts &facts, std::uint8_t plusVariant, bool probeSucceeded)
{
    const TypeRule *rule = firstMatch(kWithAts, facts);
    if (!rule)
        return std::string(kUnknownType);
    switch (rule->naming) {
    case Naming::Fixed:
        return std::string(rule->text);
    case Naming::Plus:
        return plusCardName(plusVariant, rule->level, rule->size);
    case Naming::Probed:
        return plusCardName(plusVariant, probeSucceeded ? PlusLevel::SL0 : PlusLevel::SL3,
                            facts.atqa0 == 0x44 || facts.atqa0 == 0x04 ? PlusSize::Size2K
                                                                       : PlusSize::Size4K);
    }
    return std::string(kUnknownType);
}

std::string cardTypeWithoutAts(const TypeAFacts &facts)
{
    const TypeRule *rule = firstMatch(kWithoutAts, facts);
    return std::string(rule ? rule->text : kUnknownType);
}

} // namespace qn480
