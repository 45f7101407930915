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
