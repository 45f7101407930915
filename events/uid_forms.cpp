// SPDX-License-Identifier: GPL-3.0-or-later
#include "uid_forms.h"

#include "card_text.h"
#include "text_util.h"

#include <algorithm>
#include <cctype>

namespace qn480 {

namespace {

constexpr std::size_t kShortUid = 4;
// dec8 and w26 carry 24 bits: the last three of the four bytes.
constexpr std::size_t kWiegandBytes = 3;

struct FormName
{
    UidForm form;
    std::string_view name;
};

constexpr FormName kNames[] = {
    {UidForm::Hex, "hex"},        {UidForm::HexRev, "hex-rev"}, {UidForm::Dec, "dec"},
    {UidForm::DecRev, "dec-rev"}, {UidForm::Dec10, "dec10"},    {UidForm::Dec10Rev, "dec10-rev"},
    {UidForm::Dec8, "dec8"},      {UidForm::W26, "w26"},
};

std::string hexOf(std::span<const std::uint8_t> bytes)
{
    return hexText(bytes, "");
}

// The bytes as one big-endian unsigned number in decimal, zero-filled to `width` digits.
// Long division by ten, so that a 10-byte UID is exact.
std::string decimalOf(std::vector<std::uint8_t> bytes, std::size_t width)
{
    std::string digits;
    while (std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b != 0; })) {
        unsigned remainder = 0;
        for (std::uint8_t &byte : bytes) {
            const unsigned value = remainder * 256 + byte;
            byte = static_cast<std::uint8_t>(value / 10);
            remainder = value % 10;
        }
        digits += static_cast<char>('0' + remainder);
    }
    if (digits.size() < width)
        digits.append(width - digits.size(), '0');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

// Digits of the largest number `bytes` bytes hold: 10 for 4, 17 for 7, 25 for 10.
std::size_t widthOf(std::size_t bytes)
{
    return decimalOf(std::vector<std::uint8_t>(bytes, 0xFF), 0).size();
}

std::vector<std::uint8_t> reversed(std::span<const std::uint8_t> bytes)
{
    return {bytes.rbegin(), bytes.rend()};
}

} // namespace

std::string_view uidFormName(UidForm form)
{
    for (const FormName &n : kNames) {
        if (n.form == form)
            return n.name;
    }
    return "?";
}

std::optional<UidForm> uidFormFromName(std::string_view name)
{
    const std::string lower = lowerCase(name);
    for (const FormName &n : kNames) {
        if (n.name == lower)
            return n.form;
    }
    return std::nullopt;
}

UidFormValue uidInForm(std::span<const std::uint8_t> uid, UidForm form)
{
    UidFormValue out{form, std::nullopt, {}};
    if (uid.empty()) {
        out.reason = "no UID";
        return out;
    }
    const bool wholeUid = form == UidForm::Hex || form == UidForm::HexRev || form == UidForm::Dec ||
                          form == UidForm::DecRev;
    if (!wholeUid && uid.size() != kShortUid) {
        out.reason = "needs a 4-byte UID, not " + std::to_string(uid.size()) +
                     " bytes; hex and dec carry them all";
        return out;
    }
    const auto lastThree = uid.subspan(kShortUid - kWiegandBytes);
    switch (form) {
    case UidForm::Hex:
        out.value = hexOf(uid);
        break;
    case UidForm::HexRev:
        out.value = hexOf(reversed(uid));
        break;
    case UidForm::Dec:
    case UidForm::Dec10:
        out.value = decimalOf({uid.begin(), uid.end()}, widthOf(uid.size()));
        break;
    case UidForm::DecRev:
    case UidForm::Dec10Rev:
        out.value = decimalOf(reversed(uid), widthOf(uid.size()));
        break;
    case UidForm::Dec8:
        out.value = decimalOf({lastThree.begin(), lastThree.end()}, 8);
        break;
    case UidForm::W26: {
        // Facility code: the first of the three bytes; card number: the other two.
        out.value = decimalOf({lastThree[0]}, 3) + "," +
                    decimalOf({lastThree.begin() + 1, lastThree.end()}, 5);
        break;
    }
    }
    return out;
}

std::vector<UidFormValue> uidInEveryForm(std::span<const std::uint8_t> uid)
{
    std::vector<UidFormValue> all;
    for (UidForm form : kUidForms)
        all.push_back(uidInForm(uid, form));
    return all;
}

} // namespace qn480
