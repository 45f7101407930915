// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_settings.h"

#include <gtest/gtest.h>

namespace qn480 {
namespace {

using enum KeypadSetting;

TEST(KeypadValues, EachSettingHasItsOwnBytes)
{
    const KeypadSettings settings{0x05, 0x11, {0x0C, 0x04, 0x41}, 7, 8, 9};
    const struct
    {
        KeypadSetting setting;
        SettingBytes bytes;
    } cases[] = {
        {Mode, {0x05}},     {Type, {0x11}},     {AddType, {0x0C, 0x04, 0x41}},
        {SendTime, {0x07}}, {ScanTime, {0x08}}, {SameTime, {0x09}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(settings.bytes(c.setting), c.bytes) << settingInfo(c.setting).key;
        // Writing one setting's bytes changes that setting alone.
        KeypadSettings written;
        written.setBytes(c.setting, c.bytes);
        KeypadSettings expected;
        for (KeypadSetting other : kSettingOrder)
            expected.setBytes(other, other == c.setting ? c.bytes : KeypadSettings{}.bytes(other));
        EXPECT_EQ(written, expected) << settingInfo(c.setting).key;
    }
    // 0x0F, 0x1F, 05 01 80, 10, 5 and 15: what "default" sends.
    EXPECT_EQ(KeypadSettings::defaults(),
              (KeypadSettings{0x0F, 0x1F, {kFormat8H, kNoReversal, kAddEnter}, 10, 5, 15}));
}

TEST(KeypadValues, APatchChangesWhatItGivesAndKeepsTheRest)
{
    const KeypadSettings held{0x01, 0x02, {0x0B, 0x01, 0x80}, 3, 4, 5};
    const struct
    {
        KeypadPatch patch;
        KeypadSettings result;
        std::vector<KeypadSetting> given;
    } cases[] = {
        {{}, held, {}},
        {{.mode = 0x0F, .sameTime = 0},
         {0x0F, 0x02, {0x0B, 0x01, 0x80}, 3, 4, 0},
         {Mode, SameTime}},
        // One part of the output format: the reader's other two bytes go back unchanged.
        {{.reverse = kReverseByte}, {0x01, 0x02, {0x0B, 0x02, 0x80}, 3, 4, 5}, {AddType}},
        {{.format = 5, .reverse = 1, .add = 0},
         {0x01, 0x02, {0x05, 0x01, 0x00}, 3, 4, 5},
         {AddType}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.patch.over(held), c.result);
        std::vector<KeypadSetting> given;
        for (KeypadSetting setting : kSettingOrder) {
            if (c.patch.gives(setting))
                given.push_back(setting);
        }
        EXPECT_EQ(given, c.given);
    }
    EXPECT_FALSE((KeypadPatch{.format = 5, .add = 0x80}.completeAddType()));
    EXPECT_TRUE((KeypadPatch{.format = 5, .reverse = 1, .add = 0x80}.completeAddType()));
}

TEST(KeypadValues, FormatsAreNamedByCaptionOrCode)
{
    const struct
    {
        const char *text;
        std::optional<int> code;
    } cases[] = {
        {"8H", 5},
        {"8h", 5},
        {"32H", 12},
        {"4D", 10},
        {"code 0x0B", 11},
        {"CODE 0X0b", 11},
        {"code 0xFF", 255},
        {"11H", std::nullopt},
        {"code 0x1", std::nullopt},
        {"code 0xG1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(formatOf(c.text), c.code) << c.text;
    EXPECT_EQ(formatText(9), "16H");
    EXPECT_EQ(formatText(11), "code 0x0B");
    EXPECT_EQ(formatText(0), "code 0x00");
}

} // namespace
} // namespace qn480
