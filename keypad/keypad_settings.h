// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_view.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

namespace qn480 {

struct Response;

// A set of KeypadCheck boxes, the checked ones of the page or the ones a byte stands for.
class CheckedBoxes
{
public:
    constexpr CheckedBoxes() = default;
    constexpr CheckedBoxes(std::initializer_list<KeypadCheck> boxes)
    {
        for (KeypadCheck box : boxes)
            set(box);
    }

    constexpr bool has(KeypadCheck box) const { return (m_bits & bit(box)) != 0; }
    constexpr void set(KeypadCheck box, bool checked = true)
    {
        m_bits = checked ? (m_bits | bit(box)) : (m_bits & ~bit(box));
    }
    constexpr bool operator==(const CheckedBoxes &) const = default;

private:
    static constexpr std::uint32_t bit(KeypadCheck box)
    {
        return std::uint32_t{1} << static_cast<unsigned>(box);
    }
    std::uint32_t m_bits = 0;
};

// A byte's bit and the box that shows it.
struct BoxBit
{
    KeypadCheck box;
    std::uint8_t mask;
};

inline constexpr std::array<BoxBit, 4> kModeBits{{
    {KeypadCheck::Auto, 0x01},
    {KeypadCheck::Beep, 0x02},
    {KeypadCheck::Led, 0x04},
    {KeypadCheck::Same, 0x08},
}};

inline constexpr std::array<BoxBit, 5> kTypeBits{{
    {KeypadCheck::Type43A, 0x01},
    {KeypadCheck::Type43B, 0x02},
    {KeypadCheck::Type43C, 0x04},
    {KeypadCheck::Type693, 0x08},
    {KeypadCheck::TypeGuid, 0x10},
}};

inline constexpr std::array<BoxBit, 8> kAdditionBits{{
    {KeypadCheck::Comma, 0x01},
    {KeypadCheck::Brackets, 0x02},
    {KeypadCheck::Quotes, 0x04},
    {KeypadCheck::Space, 0x08},
    {KeypadCheck::Tab, 0x10},
    {KeypadCheck::Down, 0x20},
    {KeypadCheck::Ctrl, 0x40},
    {KeypadCheck::Enter, 0x80},
}};

// Reversal codes are written as values but read back by bit, so a reply may show both.
inline constexpr std::uint8_t kNoReversal = 1;
inline constexpr std::uint8_t kReverseByte = 2;
inline constexpr std::uint8_t kReverseBit = 4;

// Format codes of the radio buttons; 11 and codes above 12 have none.
inline constexpr int kFormat8H = 5;
inline constexpr int kFormat16H = 9;
bool hasFormatButton(int code);

// The byte of the checked boxes of `bits` (the mode, card-type or addition byte), and the
// boxes a byte checks; bits without a box are sent as 0 and ignored in a reply.
std::uint8_t packBoxes(std::span<const BoxBit> bits, CheckedBoxes boxes);
CheckedBoxes unpackBoxes(std::span<const BoxBit> bits, std::uint8_t byte);

// The controls of the output format group: the selected format (0 when no radio button is
// selected) and its ten check boxes (other boxes in `boxes` are ignored).
struct AddTypeControls
{
    int format = kFormat8H;
    CheckedBoxes boxes;
    bool operator==(const AddTypeControls &) const = default;
};

using AddTypeBytes = std::array<std::uint8_t, 3>; // format code, reversal code, addition flags

// The controls as a Set leaves them, so that what the page shows is what the reader gets:
// 16H when no format is selected, ReverseBit dropped when ReverseByte is checked too, and
// Enter when no addition is checked (an empty flags byte is never sent).
AddTypeControls normalisedAddType(AddTypeControls controls);
// What Set sends for the controls, after normalising them.
AddTypeBytes addTypeBytes(const AddTypeControls &controls);
// What a Get reply shows: a code without a radio button leaves 8H selected.
AddTypeControls addTypeControls(const AddTypeBytes &bytes);

// The status line after a keypad command that was not accepted: the reader's own text
// after a blank, else `ownMessage`. The choice rests on the status alone: a status-1 reply
// refused for its length shows the reader's " Operation is successful.", as operators and
// their scripts know it; the unchanged controls tell the rest.
std::string keypadFailureText(const Response &response, std::string_view ownMessage);

} // namespace qn480
