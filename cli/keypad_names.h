// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad.h"
#include "keypad_view.h"

#include <array>
#include <optional>
#include <string_view>

namespace qn480::cli {

// The names qn480ctl gives the keypad page's controls, on its command line and in its
// output alike. They are part of the tool's interface: scripts depend on them.
struct CheckName
{
    std::string_view name;
    KeypadCheck box;
};

inline constexpr std::array<CheckName, 4> kModeNames{{
    {"autoread", KeypadCheck::Auto},
    {"beep", KeypadCheck::Beep},
    {"led", KeypadCheck::Led},
    {"samecard", KeypadCheck::Same},
}};

inline constexpr std::array<CheckName, 5> kTypeNames{{
    {"14a", KeypadCheck::Type43A},
    {"14b", KeypadCheck::Type43B},
    {"felica", KeypadCheck::Type43C},
    {"15693", KeypadCheck::Type693},
    {"guid", KeypadCheck::TypeGuid},
}};

inline constexpr std::array<CheckName, 8> kAddNames{{
    {"comma", KeypadCheck::Comma},
    {"brackets", KeypadCheck::Brackets},
    {"quotes", KeypadCheck::Quotes},
    {"space", KeypadCheck::Space},
    {"tab", KeypadCheck::Tab},
    {"down", KeypadCheck::Down},
    {"ctrl-enter", KeypadCheck::Ctrl},
    {"enter", KeypadCheck::Enter},
}};

// The captions of the format radio buttons, by format code.
struct FormatName
{
    int code;
    std::string_view caption;
};

inline constexpr std::array<FormatName, 11> kFormatNames{{
    {1, "14H"},
    {2, "5D"},
    {3, "6H"},
    {4, "8D"},
    {5, "8H"},
    {6, "10D"},
    {7, "10H"},
    {8, "13D"},
    {9, "16H"},
    {10, "4D"},
    {12, "32H"},
}};

// "8h" and "8H" alike; nothing for a caption no radio button has.
std::optional<int> formatCodeOf(std::string_view caption);
// Empty for a code without a radio button.
std::string_view formatCaption(int code);
// How a format code is shown: its caption, or "code 0x0B" for a code without a radio
// button, which the reader may hold and a partial Set sends back unchanged.
std::string formatText(int code);
// A caption or "code 0xNN" (any case); nothing for anything else.
std::optional<int> formatOf(std::string_view text);

struct TimingName
{
    KeypadTiming timing;
    KeypadSetting setting;
    std::string_view option; // on the command line, after "--"
    std::string_view key;    // in JSON
    int unitMs;
};

inline constexpr std::array<TimingName, 3> kTimingNames{{
    {KeypadTiming::SendTime, KeypadSetting::SendTime, "send-time", "send_time", 1},
    {KeypadTiming::ScanTime, KeypadSetting::ScanTime, "scan-time", "scan_time", 10},
    {KeypadTiming::SameTime, KeypadSetting::SameTime, "same-card-time", "same_card_time", 100},
}};

// The name of a setting where a message or the JSON "errors" object names it.
std::string_view settingName(KeypadSetting setting);

} // namespace qn480::cli
