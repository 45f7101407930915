// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_settings.h"

#include "response.h"

#include <gtest/gtest.h>

namespace qn480 {
namespace {

using enum KeypadCheck;

TEST(KeypadBytes, ModeAndTypeBytesFollowTheirBoxes)
{
    struct Case
    {
        std::span<const BoxBit> bits;
        CheckedBoxes boxes;
        std::uint8_t byte;
    };
    const Case cases[] = {
        {kModeBits, {}, 0x00},
        {kModeBits, {Auto, Beep, Led, Same}, 0x0F},
        {kModeBits, {Auto, Led}, 0x05},
        {kModeBits, {Same}, 0x08},
        {kTypeBits, {Type43A, TypeGuid}, 0x11},
        {kTypeBits, {Type43A, Type43B, Type43C, Type693, TypeGuid}, 0x1F},
        {kTypeBits, {Type43C, Type693}, 0x0C},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(packBoxes(c.bits, c.boxes), c.byte) << int(c.byte);
        EXPECT_EQ(unpackBoxes(c.bits, c.byte), c.boxes) << int(c.byte);
    }
    // Boxes of other groups and bits without a box do not travel.
    EXPECT_EQ(packBoxes(kModeBits, {Type43A, Enter, Beep}), 0x02);
    EXPECT_EQ(unpackBoxes(kModeBits, 0xF0), CheckedBoxes{});
    EXPECT_EQ(unpackBoxes(kModeBits, 0xFF), (CheckedBoxes{Auto, Beep, Led, Same}));
    EXPECT_EQ(unpackBoxes(kTypeBits, 0xE0), CheckedBoxes{});
}

TEST(KeypadBytes, SetAddTypeNormalisesWhatItSends)
{
    struct Case
    {
        AddTypeControls shown;
        AddTypeControls normalised;
        AddTypeBytes bytes;
    };
    const Case cases[] = {
        {{9, {RevBit, Comma, Enter}}, {9, {RevBit, Comma, Enter}}, {0x09, 0x04, 0x81}},
        {{5, {Enter}}, {5, {Enter}}, {0x05, 0x01, 0x80}},
        // No radio button selected: 16H.
        {{0, {Tab}}, {9, {Tab}}, {0x09, 0x01, 0x10}},
        // Both reversals: ReverseByte wins and ReverseBit is unchecked.
        {{12, {RevByte, RevBit, Quotes}}, {12, {RevByte, Quotes}}, {0x0C, 0x02, 0x04}},
        {{1, {RevBit, Down}}, {1, {RevBit, Down}}, {0x01, 0x04, 0x20}},
        // No addition flag: Enter, so byte 2 is never 0.
        {{10, {RevByte}}, {10, {RevByte, Enter}}, {0x0A, 0x02, 0x80}},
        {{0, {}}, {9, {Enter}}, {0x09, 0x01, 0x80}},
        {{3, {Comma, Brackets, Quotes, Space, Tab, Down, Ctrl, Enter}},
         {3, {Comma, Brackets, Quotes, Space, Tab, Down, Ctrl, Enter}},
         {0x03, 0x01, 0xFF}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(normalisedAddType(c.shown), c.normalised) << c.shown.format;
        EXPECT_EQ(addTypeBytes(c.shown), c.bytes) << c.shown.format;
    }
}

TEST(KeypadBytes, AddTypeReplyShowsFormatReversalByBitAndFlags)
{
    struct Case
    {
        AddTypeBytes bytes;
        AddTypeControls shown;
    };
    const Case cases[] = {
        {{0x05, 0x01, 0x80}, {5, {Enter}}},
        {{0x0C, 0x04, 0x41}, {12, {RevBit, Comma, Ctrl}}},
        // Codes without a radio button leave 8H; reversal bits are independent.
        {{0x0B, 0x06, 0x00}, {5, {RevByte, RevBit}}},
        {{0x00, 0x01, 0x00}, {5, {}}},
        {{0x0D, 0xF9, 0x00}, {5, {}}},
        {{0xFF, 0xFF, 0xFF},
         {5, {RevByte, RevBit, Comma, Brackets, Quotes, Space, Tab, Down, Ctrl, Enter}}},
        {{0x01, 0x02, 0x0A}, {1, {RevByte, Brackets, Space}}},
        {{0x0A, 0x01, 0x30}, {10, {Tab, Down}}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(addTypeControls(c.bytes), c.shown) << int(c.bytes[0]);
}

TEST(KeypadBytes, FailureTextPrefersTheReadersTextButNeverReportsSuccess)
{
    const auto response = [](std::uint8_t status, int length) {
        Response r;
        r.Status = status;
        r.DataLength = length;
        return r;
    };
    EXPECT_EQ(keypadFailureText(response(0x00, -1), " Get Mode Error!!"), " Get Mode Error!!");
    EXPECT_EQ(keypadFailureText(response(0x21, 0), " Get Mode Error!!"),
              " Device received undefined command.");
    EXPECT_EQ(keypadFailureText(response(0x22, 0), " Set AddType Error!!"),
              " Device received incorrect parameter.");
    EXPECT_EQ(keypadFailureText(response(0x31, 0), " Set Type Error!!"), " Set Type Error!!");
    // Accepted status, refused length: the reader's text still decides.
    EXPECT_EQ(keypadFailureText(response(0x01, 0), " Get Type Error!!"),
              " Operation is successful.");
}

} // namespace
} // namespace qn480
