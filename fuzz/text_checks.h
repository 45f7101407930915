// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string_view>

namespace qn480::fuzz {

// Prints what is wrong and aborts, so that libFuzzer keeps the input that did it.
[[noreturn]] void malformed(std::string_view what, std::string_view text = {});
inline void expect(bool ok, std::string_view what, std::string_view text = {})
{
    if (!ok)
        malformed(what, text);
}

// With QN480_FUZZ_TRACE set, the checking views print every text they are given, to
// follow what an input from a finding does.
void trace(std::string_view control, std::string_view text);

// The reader's message for a status byte it defines.
bool isStatusMessage(std::string_view text);
// A Type A card-type name: the MIFARE names, or "Unknown Type !".
bool isCardType(std::string_view text);

} // namespace qn480::fuzz
