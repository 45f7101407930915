// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_record.h"

#include "text_util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

namespace qn480 {

namespace {

constexpr std::array kAirNames{
    std::pair{AirInterface::Iso14443A, std::string_view("14a")},
    std::pair{AirInterface::Iso14443B, std::string_view("14b")},
    std::pair{AirInterface::Felica, std::string_view("felica")},
    std::pair{AirInterface::Iso15693, std::string_view("15693")},
};

} // namespace

std::string_view airName(AirInterface air)
{
    for (const auto &[a, name] : kAirNames) {
        if (a == air)
            return name;
    }
    return "?";
}

std::optional<AirInterface> airFromName(std::string_view name)
{
    const std::string lower = lowerCase(name);
    for (const auto &[air, n] : kAirNames) {
        if (n == lower)
            return air;
    }
    return std::nullopt;
}

AirInterface airOf(const Card &card)
{
    return std::visit(Overloaded{
                          [](const TypeACard &) { return AirInterface::Iso14443A; },
                          [](const TypeBCard &) { return AirInterface::Iso14443B; },
                          [](const FelicaCard &) { return AirInterface::Felica; },
                          [](const Iso15693Card &) { return AirInterface::Iso15693; },
                      },
                      card);
}

const Bytes &identity(const Card &card)
{
    return std::visit(Overloaded{
                          [](const TypeACard &c) -> const Bytes & { return c.uid; },
                          [](const TypeBCard &c) -> const Bytes & { return c.pupi; },
                          [](const FelicaCard &c) -> const Bytes & { return c.idm; },
                          [](const Iso15693Card &c) -> const Bytes & { return c.uid; },
                      },
                      card);
}

} // namespace qn480
