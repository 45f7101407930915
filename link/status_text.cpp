// SPDX-License-Identifier: GPL-3.0-or-later
#include "status_text.h"

#include <algorithm>
#include <array>

namespace qn480 {

namespace {

struct StatusEntry
{
    std::uint8_t status;
    std::string_view text;
};

// Sorted by status byte. 0xE0 and 0xF4 use U+2019 for the apostrophe.
constexpr std::array<StatusEntry, 32> kStatusTexts{{
    {0x01, "Operation is successful."},
    {0x10, "Received data packet is incomplete."},
    {0x11, "LRC check sum verification fails."},
    {0x12, "UART receiver buffer is full."},
    {0x20, "Device received undefined command category."},
    {0x21, "Device received undefined command."},
    {0x22, "Device received incorrect parameter."},
    {0x30, "Writing hardware parameters failed."},
    {0xA0, "There is a response after HALT command"},
    {0xA1, "MIFARE Authentication fails."},
    {0xA2, "Perform an MIFARE authorized operation while crypto engine on reader IC is not "
           "turned on."},
    {0xA3, "Card response error message from MIFARE operation."},
    {0xA4, "ISO14443-4 PCB and CID response to inconsistent."},
    {0xA5, "MIFARE PLUSMAC validation error."},
    {0xA6, "MIFARE PLUS response length to inconsistent."},
    {0xA7, "MIFARE PLUS Prepare Proximity Check invalid."},
    {0xA8, "MIFARE PLUS Proximity Check invalid."},
    {0xA9, "MIFARE PLUS Verify Proximity Check invalid."},
    {0xAA, "MIFARE PLUS Virtual Card Support Last response failed."},
    {0xB0, "Card response error message"},
    {0xD0, "Card response error message from any operation."},
    {0xE0, "There is no card or card doesn\u2019t respond."},
    {0xE1, "Received frame errors."},
    {0xE2, "Data collision occurs. ( ISO14443A / 15693 )"},
    {0xE3, "Parity verification fails. (ISO14443A)"},
    {0xE4, "Received CRC verification fails."},
    {0xE5, "Received response is invalid or not in expected format."},
    {0xF0, "There is an error from FIFO overflow."},
    {0xF1, "There is an error from accessing protected area in the EEPROM."},
    {0xF2, "There is an error in programming EEPROM."},
    {0xF3, "There is an error from loading MIFARE key."},
    {0xF4, "The QN480 don\u2019t response within defined timeout"},
}};

static_assert(std::is_sorted(kStatusTexts.begin(), kStatusTexts.end(),
                             [](const StatusEntry &a, const StatusEntry &b) {
                                 return a.status < b.status;
                             }));

} // namespace

std::string_view StatusText(std::uint8_t status)
{
    const auto it =
        std::lower_bound(kStatusTexts.begin(), kStatusTexts.end(), status,
                         [](const StatusEntry &e, std::uint8_t s) { return e.status < s; });
    return it != kStatusTexts.end() && it->status == status ? it->text : std::string_view{};
}

} // namespace qn480
