// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

// The forms in which other systems show a UID: a keyboard wedge, a printed badge number, an
// access controller. The whole-UID forms apply to any UID; the forms that take part of one
// (dec10, dec10-rev, dec8, w26) apply to 4-byte UIDs only, as cutting a longer UID would
// name a different card.
enum class UidForm { Hex, HexRev, Dec, DecRev, Dec10, Dec10Rev, Dec8, W26 };

inline constexpr UidForm kUidForms[] = {UidForm::Hex,    UidForm::HexRev, UidForm::Dec,
                                        UidForm::DecRev, UidForm::Dec10,  UidForm::Dec10Rev,
                                        UidForm::Dec8,   UidForm::W26};

// "hex", "hex-rev", "dec", "dec-rev", "dec10", "dec10-rev", "dec8", "w26".
std::string_view uidFormName(UidForm form);
std::optional<UidForm> uidFormFromName(std::string_view name); // any case

struct UidFormValue
{
    UidForm form = UidForm::Hex;
    std::optional<std::string> value; // nothing when the form cannot apply
    std::string reason;               // why not, when it cannot
};

// One form of `uid` (bytes in air order). Decimal forms keep their leading zeros: dec and
// dec-rev are as wide as the largest number of that many bytes.
UidFormValue uidInForm(std::span<const std::uint8_t> uid, UidForm form);
// Every form, in the order of kUidForms.
std::vector<UidFormValue> uidInEveryForm(std::span<const std::uint8_t> uid);

} // namespace qn480
