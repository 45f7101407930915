// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_names.h"

#include <algorithm>
#include <cctype>

namespace qn480::cli {

std::optional<int> formatCodeOf(std::string_view caption)
{
    const auto same = [&](const FormatName &f) {
        return std::equal(f.caption.begin(), f.caption.end(), caption.begin(), caption.end(),
                          [](char a, char b) {
                              return std::toupper(static_cast<unsigned char>(a)) ==
                                     std::toupper(static_cast<unsigned char>(b));
                          });
    };
    const auto found = std::find_if(kFormatNames.begin(), kFormatNames.end(), same);
    if (found == kFormatNames.end())
        return std::nullopt;
    return found->code;
}

std::string_view formatCaption(int code)
{
    const auto found = std::find_if(kFormatNames.begin(), kFormatNames.end(),
                                    [&](const FormatName &f) { return f.code == code; });
    return found == kFormatNames.end() ? std::string_view{} : found->caption;
}

std::string formatText(int code)
{
    const std::string_view caption = formatCaption(code);
    if (!caption.empty())
        return std::string(caption);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return std::string("code 0x") + kDigits[(code >> 4) & 0x0F] + kDigits[code & 0x0F];
}

std::optional<int> formatOf(std::string_view text)
{
    if (const auto code = formatCodeOf(text))
        return code;
    constexpr std::string_view kPrefix = "code 0x";
    if (text.size() != kPrefix.size() + 2 ||
        !std::equal(kPrefix.begin(), kPrefix.end(), text.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        }))
        return std::nullopt;
    int value = 0;
    for (char c : text.substr(kPrefix.size())) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + digit;
    }
    return value;
}

std::string_view settingName(KeypadSetting setting)
{
    switch (setting) {
    case KeypadSetting::Mode:
        return "mode";
    case KeypadSetting::Type:
        return "types";
    case KeypadSetting::AddType:
        return "addtype";
    case KeypadSetting::SendTime:
        return "send_time";
    case KeypadSetting::ScanTime:
        return "scan_time";
    case KeypadSetting::SameTime:
        return "same_card_time";
    }
    return "?";
}

} // namespace qn480::cli
