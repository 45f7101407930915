// SPDX-License-Identifier: GPL-3.0-or-later
#include "event_columns.h"

#include <array>

namespace qn480 {

bool columnApplies(EventColumn column, AirInterface air)
{
    switch (column) {
    case EventColumn::Atqa:
    case EventColumn::Sak:
    case EventColumn::Type:
    case EventColumn::Ats:
        return air == AirInterface::Iso14443A;
    case EventColumn::AppData:
    case EventColumn::ProtocolInfo:
        return air == AirInterface::Iso14443B;
    case EventColumn::Pmm:
    case EventColumn::Slot:
    case EventColumn::SubResponse:
        return air == AirInterface::Felica;
    case EventColumn::Dsfid:
    case EventColumn::UidMsb:
        return air == AirInterface::Iso15693;
    default:
        return true;
    }
}

std::vector<EventColumn> heldColumns(std::span<const EventRecord> events)
{
    constexpr std::array kAirs{AirInterface::Iso14443A, AirInterface::Iso14443B,
                               AirInterface::Felica, AirInterface::Iso15693};
    std::array<bool, kAirs.size()> held{};
    for (const EventRecord &event : events) {
        for (std::size_t i = 0; i < kAirs.size(); ++i)
            held[i] = held[i] || airOf(event.card) == kAirs[i];
    }
    std::vector<EventColumn> columns;
    for (int c = 0; c < kEventColumnCount; ++c) {
        const auto column = EventColumn(c);
        bool applies = true;
        bool any = false;
        for (std::size_t i = 0; i < kAirs.size(); ++i) {
            if (!columnApplies(column, kAirs[i])) {
                applies = false;
            } else if (held[i]) {
                any = true;
            }
        }
        if (applies || any)
            columns.push_back(column);
    }
    return columns;
}

} // namespace qn480
