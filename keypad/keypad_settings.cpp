// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_settings.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>

namespace qn480 {

namespace {

constexpr bool inSettingOrder()
{
    for (std::size_t i = 0; i < kSettings.size(); ++i) {
        if (settingIndex(kSettings[i].setting) != i || kSettingOrder[i] != kSettings[i].setting)
            return false;
    }
    return true;
}
static_assert(inSettingOrder(), "kSettings is indexed by KeypadSetting");

std::uint8_t &timingOf(KeypadSettings &s, KeypadSetting setting)
{
    return setting == KeypadSetting::SendTime   ? s.sendTime
           : setting == KeypadSetting::ScanTime ? s.scanTime
                                                : s.sameTime;
}

} // namespace

bool isNamedFormat(int code)
{
    return !formatCaption(code).empty();
}

SettingBytes KeypadSettings::bytes(KeypadSetting setting) const
{
    switch (setting) {
    case KeypadSetting::Mode:
        return {mode};
    case KeypadSetting::Type:
        return {types};
    case KeypadSetting::AddType:
        return {addType.format, addType.reverse, addType.add};
    case KeypadSetting::SendTime:
        return {sendTime};
    case KeypadSetting::ScanTime:
        return {scanTime};
    case KeypadSetting::SameTime:
        return {sameTime};
    }
    return {};
}

void KeypadSettings::setBytes(KeypadSetting setting, const SettingBytes &b)
{
    switch (setting) {
    case KeypadSetting::Mode:
        mode = b[0];
        break;
    case KeypadSetting::Type:
        types = b[0];
        break;
    case KeypadSetting::AddType:
        addType = {b[0], b[1], b[2]};
        break;
    case KeypadSetting::SendTime:
    case KeypadSetting::ScanTime:
    case KeypadSetting::SameTime:
        timingOf(*this, setting) = b[0];
        break;
    }
}

KeypadSettings KeypadSettings::defaults()
{
    // Every mode bit and card type, 8H with Enter, 10 ms, 50 ms and 1.5 s.
    return {0x0F, 0x1F, {kFormat8H, kNoReversal, kAddEnter}, 10, 5, 15};
}

bool KeypadPatch::gives(KeypadSetting setting) const
{
    switch (setting) {
    case KeypadSetting::Mode:
        return mode.has_value();
    case KeypadSetting::Type:
        return types.has_value();
    case KeypadSetting::AddType:
        return format || reverse || add;
    case KeypadSetting::SendTime:
        return sendTime.has_value();
    case KeypadSetting::ScanTime:
        return scanTime.has_value();
    case KeypadSetting::SameTime:
        return sameTime.has_value();
    }
    return false;
}

std::optional<std::uint8_t> maskOf(std::string_view name, std::span<const BitName> names)
{
    const std::string lower = lowerCase(name);
    const auto found =
        std::find_if(names.begin(), names.end(), [&](const BitName &n) { return n.name == lower; });
    return found == names.end() ? std::nullopt : std::optional(found->mask);
}

std::string namesListed(std::span<const BitName> names)
{
    std::string list;
    for (const BitName &n : names)
        list += (list.empty() ? "" : ", ") + std::string(n.name);
    return list;
}

std::optional<std::uint8_t> &KeypadPatch::timing(KeypadSetting setting)
{
    return setting == KeypadSetting::SendTime   ? sendTime
           : setting == KeypadSetting::ScanTime ? scanTime
                                                : sameTime;
}

KeypadSettings KeypadPatch::over(KeypadSettings held) const
{
    held.mode = mode.value_or(held.mode);
    held.types = types.value_or(held.types);
    held.addType.format = format.value_or(held.addType.format);
    held.addType.reverse = reverse.value_or(held.addType.reverse);
    held.addType.add = add.value_or(held.addType.add);
    held.sendTime = sendTime.value_or(held.sendTime);
    held.scanTime = scanTime.value_or(held.scanTime);
    held.sameTime = sameTime.value_or(held.sameTime);
    return held;
}

const SettingInfo &settingInfo(KeypadSetting setting)
{
    return kSettings[settingIndex(setting)];
}

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
    return "code 0x" + hexByte(static_cast<std::uint8_t>(code));
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
    const auto code = hexBytes(text.substr(kPrefix.size()));
    if (!code)
        return std::nullopt;
    return code->front();
}

} // namespace qn480
