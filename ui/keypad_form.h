// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The keypad page's form as tables: where each group and control sits, and which setting,
// byte and bits each control shows. The page's behaviour is in keypad_page.cpp.

#include "keypad_settings.h"

#include <QCheckBox>
#include <QRect>

#include <algorithm>
#include <array>
#include <cstdint>

namespace qn480::keypad_form {

constexpr int kTimingMax = 255;
constexpr int kTimingLargeStep = 5;
constexpr int kTimingStart = 10;

constexpr std::array<QRect, 4> kGroupRects{{
    {8, 2, 220, 136},   // gbox_keypad01: Mode
    {238, 2, 220, 136}, // gbox_keypad02: Type
    {8, 136, 451, 212}, // gbox_keypad03: AddType
    {463, 2, 306, 346}, // gbox_keypad04: timings
}};

constexpr std::array<const char *, 4> kGroupNames{"Mode", "Type", "AddType", "Timings"};

// Which byte of a setting a check box shows.
enum class Part { Mode, Types, Reverse, Add };

struct CheckControl
{
    const char *name;
    const char *caption;
    int group;
    QRect rect;
    Part part;
    std::uint8_t mask;
};

constexpr std::array<CheckControl, 19> kChecks{{
    {"chk01_Auto", "AutoRead", 0, {20, 16, 90, 17}, Part::Mode, 0x01},
    {"chk01_Same", "SameCard", 0, {20, 46, 90, 17}, Part::Mode, 0x08},
    {"chk01_Beep", "Beep", 0, {126, 16, 90, 17}, Part::Mode, 0x02},
    {"chk01_Led", "LED", 0, {126, 46, 90, 17}, Part::Mode, 0x04},
    {"chk02_43A", "ISO14443A", 1, {20, 16, 90, 17}, Part::Types, 0x01},
    {"chk02_43B", "ISO14443B", 1, {20, 46, 90, 17}, Part::Types, 0x02},
    {"chk02_693", "ISO15693", 1, {126, 16, 90, 17}, Part::Types, 0x08},
    {"chk02_43C", "Felia", 1, {126, 46, 90, 17}, Part::Types, 0x04},
    {"chk02_Guid", "Chinese GUID", 1, {20, 76, 181, 17}, Part::Types, 0x10},
    {"chk03_Comma", "Comma", 2, {20, 76, 100, 17}, Part::Add, 0x01},
    {"chk03_Space", "Space", 2, {120, 76, 100, 17}, Part::Add, 0x08},
    {"chk03_Brackets", "Brackets", 2, {220, 76, 100, 17}, Part::Add, 0x02},
    {"chk03_Quotes", "Quotes", 2, {320, 76, 100, 17}, Part::Add, 0x04},
    {"chk03_Tab", "Tab", 2, {20, 106, 100, 17}, Part::Add, 0x10},
    {"chk03_Down", "Down", 2, {120, 106, 100, 17}, Part::Add, 0x20},
    {"chk03_Ctrl", "Ctrl+Enter", 2, {220, 106, 100, 17}, Part::Add, 0x40},
    {"chk03_Enter", "Enter", 2, {320, 106, 100, 17}, Part::Add, kAddEnter},
    {"chk03_RevByte", "ReverseByte", 2, {20, 136, 120, 17}, Part::Reverse, kReverseByte},
    {"chk03_RevBit", "ReverseBit", 2, {20, 166, 120, 17}, Part::Reverse, kReverseBit},
}};

using Checks = std::array<QCheckBox *, kChecks.size()>;

// The byte the checked boxes of one part stand for.
inline std::uint8_t checkedByte(const Checks &checks, Part part)
{
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < kChecks.size(); ++i) {
        if (kChecks[i].part == part && checks[i]->isChecked())
            byte |= kChecks[i].mask;
    }
    return byte;
}

QCheckBox *checkOf(const Checks &checks, Part part, std::uint8_t mask)
{
    const auto found = std::find_if(kChecks.begin(), kChecks.end(), [&](const CheckControl &c) {
        return c.part == part && c.mask == mask;
    });
    return checks[std::size_t(found - kChecks.begin())];
}

struct FormatRadio
{
    int code; // the format code the reader uses for it
    const char *name;
    const char *caption;
    int left;
    int top;
};

constexpr QSize kRadioSize{60, 17};
constexpr int kStartFormat = kFormat16H;
constexpr std::array<FormatRadio, 11> kFormatRadios{{
    {3, "rbn03_6H", "6H", 20, 16},
    {5, "rbn03_8H", "8H", 90, 16},
    {7, "rbn03_10H", "10H", 160, 16},
    {1, "rbn03_14H", "14H", 230, 16},
    {9, "rbn03_16H", "16H", 300, 16},
    {12, "rbn03_32H", "32H", 370, 16},
    {10, "rbn03_4D", "4D", 20, 46},
    {2, "rbn03_5D", "5D", 90, 46},
    {4, "rbn03_8D", "8D", 160, 46},
    {6, "rbn03_10D", "10D", 230, 46},
    {8, "rbn03_13D", "13D", 300, 46},
}};

// A setting's texts and its two buttons.
struct SettingControls
{
    KeypadSetting setting;
    std::string_view getProgress; // before the command
    std::string_view getOk;       // reply accepted
    std::string_view setProgress;
    std::string_view setOk;
    const char *getName;
    const char *getCaption;
    const char *setName;
    const char *setCaption;
    int group;
    QRect getRect;
    QRect setRect;
};

const std::array<SettingControls, 6> kSettingControls{{
    {KeypadSetting::Mode,
     " Get HID Keyboard",
     " Get Mode OK!!",
     " Set HID Keyboard",
     " Set Mode OK!!",
     "btn_SetKeypadG01",
     "Get Mode",
     "btn_SetKeypadS01",
     "Set Mode",
     0,
     {20, 100, 90, 25},
     {118, 100, 90, 25}},
    {KeypadSetting::Type,
     " Get HID Keyboard read card type",
     " Get Type OK!!",
     " Set HID Keyboard read card type",
     " Set Type OK!!",
     "btn_SetKeypadG02",
     "Get Type",
     "btn_SetKeypadS02",
     "Set Type",
     1,
     {20, 100, 90, 25},
     {118, 100, 90, 25}},
    // The operator knows Set AddType's progress text from Set Type; it stays the same.
    {KeypadSetting::AddType,
     " Get HID Keyboard send type",
     " Get AddType OK!!",
     " Set HID Keyboard read card type",
     " Set AddType OK!!",
     "btn_SetKeypadG03",
     "Get AddType",
     "btn_SetKeypadS03",
     "Set AddType",
     2,
     {230, 166, 100, 25},
     {336, 166, 100, 25}},
    {KeypadSetting::SendTime,
     " Get Keypad_KeySendTime",
     " Get SendTime OK!!",
     " Set Keypad_KeySendTime ",
     " Set SendTime OK!!",
     "btn_SetKeypadG04",
     "Get SendTime",
     "btn_SetKeypadS04",
     "Set SendTime",
     3,
     {8, 56, 130, 30},
     {138, 56, 130, 30}},
    {KeypadSetting::ScanTime,
     " Get Keypad_ScanTime",
     " Get ScanTime OK!!",
     " Set Keypad_ScanTime ",
     " Set ScanTime OK!!",
     "btn_SetKeypadG05",
     "Get ScanTime",
     "btn_SetKeypadS05",
     "Set ScanTime",
     3,
     {8, 136, 130, 30},
     {138, 136, 130, 30}},
    {KeypadSetting::SameTime,
     " Get Keypad_SameCardTime",
     " Get SameCardTime OK!!",
     " Set Keypad_SameCardTime ",
     " Set SameCardTime OK!!",
     "btn_SetKeypadG06",
     "Get SameTime",
     "btn_SetKeypadS06",
     "Set SameTime",
     3,
     {8, 216, 130, 30},
     {138, 216, 130, 30}},
}};

const SettingControls &controlsOf(KeypadSetting setting)
{
    return kSettingControls[settingIndex(setting)];
}

constexpr QRect kDefaultRect{8, 270, 261, 30};

struct TimingControls
{
    KeypadSetting setting;
    const char *panel;
    QRect panelRect;
    const char *label;
    const char *unit;
    QRect labelRect;
    const char *bar;
    const char *barName; // for screen readers; the bar has no caption
    QRect barRect;
};

const std::array<TimingControls, 3> kTimings{{
    {KeypadSetting::SendTime,
     "pnlSendTime",
     {8, 20, 49, 30},
     "Label10",
     " *1ms",
     {55, 20, 60, 30},
     "sbSendTime",
     "SendTime",
     {115, 20, 154, 30}},
    {KeypadSetting::ScanTime,
     "pnlScanTime",
     {8, 100, 49, 30},
     "Label16",
     " *10ms",
     {55, 100, 60, 30},
     "sbScanTime",
     "ScanTime",
     {115, 100, 154, 30}},
    {KeypadSetting::SameTime,
     "pnlSameTime",
     {8, 180, 49, 30},
     "Label17",
     " *100ms",
     {55, 182, 60, 30},
     "sbSameTime",
     "SameCardTime",
     {115, 182, 154, 30}},
}};

inline std::size_t timingIndex(KeypadSetting setting)
{
    return std::size_t(
        std::find_if(kTimings.begin(), kTimings.end(),
                     [setting](const TimingControls &t) { return t.setting == setting; }) -
        kTimings.begin());
}

} // namespace qn480::keypad_form
