// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_settings.h"

#include "response.h"
#include "status_text.h"

namespace qn480 {

bool hasFormatButton(int code)
{
    return (code >= 1 && code <= 10) || code == 12;
}

std::uint8_t packBoxes(std::span<const BoxBit> bits, CheckedBoxes boxes)
{
    std::uint8_t byte = 0;
    for (const BoxBit &b : bits) {
        if (boxes.has(b.box))
            byte |= b.mask;
    }
    return byte;
}

CheckedBoxes unpackBoxes(std::span<const BoxBit> bits, std::uint8_t byte)
{
    CheckedBoxes boxes;
    for (const BoxBit &b : bits)
        boxes.set(b.box, (byte & b.mask) != 0);
    return boxes;
}

AddTypeControls normalisedAddType(AddTypeControls controls)
{
    if (!hasFormatButton(controls.format))
        controls.format = kFormat16H;
    if (controls.boxes.has(KeypadCheck::RevByte))
        controls.boxes.set(KeypadCheck::RevBit, false);
    if (packBoxes(kAdditionBits, controls.boxes) == 0)
        controls.boxes.set(KeypadCheck::Enter);
    return controls;
}

AddTypeBytes addTypeBytes(const AddTypeControls &controls)
{
    const AddTypeControls n = normalisedAddType(controls);
    std::uint8_t reversal = kNoReversal;
    if (n.boxes.has(KeypadCheck::RevByte))
        reversal = kReverseByte;
    else if (n.boxes.has(KeypadCheck::RevBit))
        reversal = kReverseBit;
    return {static_cast<std::uint8_t>(n.format), reversal, packBoxes(kAdditionBits, n.boxes)};
}

AddTypeControls addTypeControls(const AddTypeBytes &bytes)
{
    AddTypeControls controls;
    if (hasFormatButton(bytes[0]))
        controls.format = bytes[0];
    controls.boxes = unpackBoxes(kAdditionBits, bytes[2]);
    controls.boxes.set(KeypadCheck::RevByte, (bytes[1] & kReverseByte) != 0);
    controls.boxes.set(KeypadCheck::RevBit, (bytes[1] & kReverseBit) != 0);
    return controls;
}

std::string keypadFailureText(const Response &response, std::string_view ownMessage)
{
    const std::string_view text = StatusText(response.Status);
    if (text.empty())
        return std::string(ownMessage);
    return " " + std::string(text);
}

} // namespace qn480
