// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qn480 {

enum class KeypadSetting { Mode, Type, AddType, SendTime, ScanTime, SameTime };

// In the order the page reads them and the defaults write them.
inline constexpr std::array<KeypadSetting, 6> kSettingOrder{
    KeypadSetting::Mode,     KeypadSetting::Type,     KeypadSetting::AddType,
    KeypadSetting::SendTime, KeypadSetting::ScanTime, KeypadSetting::SameTime};

constexpr std::size_t settingIndex(KeypadSetting setting)
{
    return static_cast<std::size_t>(setting);
}

using SettingBytes = std::array<std::uint8_t, 3>; // the first `length` bytes count

// Reversal codes are written as values but read back by bit, so a reply may show both.
inline constexpr std::uint8_t kNoReversal = 1;
inline constexpr std::uint8_t kReverseByte = 2;
inline constexpr std::uint8_t kReverseBit = 4;
inline constexpr std::uint8_t kAddEnter = 0x80;

// The format codes the reader names (1 to 10 and 12, each with its caption); 0, 11 and codes
// above 12 name no format.
inline constexpr int kFormat8H = 5;
inline constexpr int kFormat16H = 9;
bool isNamedFormat(int code);

// AddType: how the reader writes a card's number (the format, its reversal and what it
// adds), one setting of three bytes.
struct AddType
{
    std::uint8_t format = kFormat8H;
    std::uint8_t reverse = kNoReversal;
    std::uint8_t add = kAddEnter; // addition flags
    bool operator==(const AddType &) const = default;
};

// The six keyboard-emulation settings as the reader holds them. Bits without a name are
// kept as the reader sent them; the consumers show only the named ones.
struct KeypadSettings
{
    std::uint8_t mode = 0;
    std::uint8_t types = 0;
    AddType addType;
    std::uint8_t sendTime = 10;
    std::uint8_t scanTime = 10;
    std::uint8_t sameTime = 10;

    bool operator==(const KeypadSettings &) const = default;

    // One setting's bytes as a Set sends them and a Get reply carries them.
    SettingBytes bytes(KeypadSetting setting) const;
    void setBytes(KeypadSetting setting, const SettingBytes &bytes);
    // The settings a reader is set back to by the defaults operation.
    static KeypadSettings defaults();
};

// Every setting not read: its message; empty where it was read.
using KeypadErrors = std::array<std::string, 6>;

// What to change: each part given replaces the reader's, the others stay as it has them.
struct KeypadPatch
{
    std::optional<std::uint8_t> mode = {};
    std::optional<std::uint8_t> types = {};
    std::optional<std::uint8_t> format = {};
    std::optional<std::uint8_t> reverse = {};
    std::optional<std::uint8_t> add = {};
    std::optional<std::uint8_t> sendTime = {};
    std::optional<std::uint8_t> scanTime = {};
    std::optional<std::uint8_t> sameTime = {};

    bool gives(KeypadSetting setting) const;
    // The part of a timing: SendTime, ScanTime or SameTime.
    std::optional<std::uint8_t> &timing(KeypadSetting setting);
    // The three parts of AddType travel together; a Set of only some of them
    // needs the others from the reader first.
    bool completeAddType() const { return format && reverse && add; }
    KeypadSettings over(KeypadSettings held) const;
};

// A named bit of the mode, card-type or addition byte. The names are part of qn480ctl's
// interface (command line, output and profiles): scripts depend on them.
struct BitName
{
    std::string_view name;
    std::uint8_t mask;
};

inline constexpr std::array<BitName, 4> kModeNames{{
    {"autoread", 0x01},
    {"beep", 0x02},
    {"led", 0x04},
    {"samecard", 0x08},
}};

inline constexpr std::array<BitName, 5> kTypeNames{{
    {"14a", 0x01},
    {"14b", 0x02},
    {"felica", 0x04},
    {"15693", 0x08},
    {"guid", 0x10},
}};

inline constexpr std::array<BitName, 8> kAddNames{{
    {"comma", 0x01},
    {"brackets", 0x02},
    {"quotes", 0x04},
    {"space", 0x08},
    {"tab", 0x10},
    {"down", 0x20},
    {"ctrl-enter", 0x40},
    {"enter", 0x80},
}};

// The mask `name` (any case) stands for; nothing when it is none of `names`.
std::optional<std::uint8_t> maskOf(std::string_view name, std::span<const BitName> names);
// "autoread, beep, led, samecard": the names to choose from, for messages.
std::string namesListed(std::span<const BitName> names);

// The captions of the output formats, by format code.
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

// "8h" and "8H" alike; nothing for a caption no format has.
std::optional<int> formatCodeOf(std::string_view caption);
// Empty for a code without a caption.
std::string_view formatCaption(int code);
// How a format code is shown: its caption, or "code 0x0B" for a code without one, which
// the reader may hold and a partial Set sends back unchanged.
std::string formatText(int code);
// A caption or "code 0xNN" (any case); nothing for anything else.
std::optional<int> formatOf(std::string_view text);

// One setting: its commands, its bytes and its names.
struct SettingInfo
{
    KeypadSetting setting;
    std::uint8_t getCode;
    std::uint8_t setCode;
    int length; // data bytes of a Set, and the exact DataLength of an accepted Get reply
    std::string_view operation; // as the reader's operations are named: "SameCardTime"
    std::string_view key;       // in messages and qn480ctl's "errors" object
};

inline constexpr std::array<SettingInfo, 6> kSettings{{
    {KeypadSetting::Mode, 0x10, 0x11, 1, "Mode", "mode"},
    {KeypadSetting::Type, 0x12, 0x13, 1, "Type", "types"},
    {KeypadSetting::AddType, 0x1A, 0x1B, 3, "AddType", "addtype"},
    {KeypadSetting::SendTime, 0x18, 0x19, 1, "SendTime", "send_time"},
    {KeypadSetting::ScanTime, 0x14, 0x15, 1, "ScanTime", "scan_time"},
    {KeypadSetting::SameTime, 0x16, 0x17, 1, "SameCardTime", "same_card_time"},
}};

const SettingInfo &settingInfo(KeypadSetting setting);

// The three timings: counts of a unit each.
struct TimingName
{
    KeypadSetting setting;
    std::string_view option; // on the command line, after "--"
    std::string_view key;    // in JSON
    int unitMs;
};

inline constexpr std::array<TimingName, 3> kTimingNames{{
    {KeypadSetting::SendTime, "send-time", "send_time", 1},
    {KeypadSetting::ScanTime, "scan-time", "scan_time", 10},
    {KeypadSetting::SameTime, "same-card-time", "same_card_time", 100},
}};

} // namespace qn480
