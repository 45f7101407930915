// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>

// The reader's commands that the card procedures send, by group and code; shared with the
// tools that follow those procedures on the wire.
namespace qn480::commands {

inline constexpr std::uint8_t kReaderGroup = 0x00;
inline constexpr std::uint8_t kCarrierOn = 0x30;
inline constexpr std::uint8_t kCarrierOff = 0x31;

// Every air interface's group has these two.
inline constexpr std::uint8_t kConfigure = 0x00;
inline constexpr std::uint8_t kPoll = 0x10;

inline constexpr std::uint8_t kTypeAGroup = 0x0A;
inline constexpr std::uint8_t kRequest = 0x10;
inline constexpr std::uint8_t kAnticollision = 0x12;
inline constexpr std::uint8_t kSelect = 0x13;
inline constexpr std::uint8_t kAnswerToSelect = 0x15;
inline constexpr std::uint8_t kLevelProbe = 0x40;

// The security-level probe's data: 01 90 00, then a 16-byte value that is ours to choose;
// only the command's success matters.
inline constexpr std::array<std::uint8_t, 19> kLevelProbeData = [] {
    std::array<std::uint8_t, 19> data{};
    data.fill(0xFF);
    data[0] = 0x01;
    data[1] = 0x90;
    data[2] = 0x00;
    return data;
}();

} // namespace qn480::commands
