// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_state.h"

#include "json.h"
#include "keypad_names.h"

#include <algorithm>
#include <span>
#include <vector>

namespace qn480::cli {

namespace {

constexpr int kMaxPosition = 255;

std::vector<std::string> checkedNames(const KeypadView &view, std::span<const CheckName> names)
{
    std::vector<std::string> checked;
    for (const CheckName &n : names) {
        if (view.isChecked(n.box))
            checked.emplace_back(n.name);
    }
    return checked;
}

std::string joined(const std::vector<std::string> &names)
{
    if (names.empty())
        return "none";
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

// A Get may report both reversals; a Set never sends both.
std::string reversalText(const KeypadView &view)
{
    const bool byte = view.isChecked(KeypadCheck::RevByte);
    const bool bit = view.isChecked(KeypadCheck::RevBit);
    return byte && bit ? "both" : byte ? "byte" : bit ? "bit" : "none";
}

const TimingName &timingOf(KeypadSetting setting)
{
    return *std::find_if(kTimingNames.begin(), kTimingNames.end(),
                         [&](const TimingName &t) { return t.setting == setting; });
}

std::string optionName(const TimingName &t)
{
    return std::string(t.option);
}

std::string formatOfState(const KeypadState &state)
{
    const auto &bytes = state.addTypeBytes();
    return formatText(bytes ? (*bytes)[0] : state.formatCode());
}

} // namespace

std::string addTypeText(const AddTypeBytes &bytes)
{
    const std::uint8_t reverse = bytes[1];
    const bool byte = (reverse & kReverseByte) != 0;
    const bool bit = (reverse & kReverseBit) != 0;
    std::vector<std::string> added;
    for (const CheckName &n : kAddNames) {
        const auto flag = std::find_if(kAdditionBits.begin(), kAdditionBits.end(),
                                       [&](const BoxBit &b) { return b.box == n.box; });
        if ((bytes[2] & flag->mask) != 0)
            added.emplace_back(n.name);
    }
    return formatText(bytes[0]) + " reverse=" +
           (byte && bit ? "both"
            : byte      ? "byte"
            : bit       ? "bit"
                        : "none") +
           " add=" + joined(added);
}

void KeypadState::setStatus(const std::string &text)
{
    m_status = text;
    if (m_hook)
        m_hook(text);
}

void KeypadState::selectFormat(int code)
{
    if (hasFormatButton(code))
        m_format = code;
}

int KeypadState::position(KeypadTiming timing) const
{
    return m_positions[static_cast<std::size_t>(timing)];
}

void KeypadState::setPosition(KeypadTiming timing, int position)
{
    m_positions[static_cast<std::size_t>(timing)] = std::clamp(position, 0, kMaxPosition);
}

std::string settingText(const KeypadView &view, KeypadSetting setting)
{
    switch (setting) {
    case KeypadSetting::Mode:
        return joined(checkedNames(view, kModeNames));
    case KeypadSetting::Type:
        return joined(checkedNames(view, kTypeNames));
    case KeypadSetting::AddType:
        return std::string(formatCaption(view.formatCode())) + " reverse=" + reversalText(view) +
               " add=" + joined(checkedNames(view, kAddNames));
    case KeypadSetting::SendTime:
    case KeypadSetting::ScanTime:
    case KeypadSetting::SameTime:
        return std::to_string(view.position(timingOf(setting).timing));
    }
    return {};
}

std::string keypadReport(const KeypadState &view, const KeypadErrors &errors, bool json)
{
    const auto error = [&](KeypadSetting s) -> const std::string & {
        return errors[static_cast<std::size_t>(s)];
    };
    if (json) {
        JsonObject object;
        const auto names = [&](std::string_view key, KeypadSetting s,
                               std::span<const CheckName> table) {
            if (error(s).empty())
                object.list(key, checkedNames(view, table));
            else
                object.null(key);
        };
        names("mode", KeypadSetting::Mode, kModeNames);
        names("types", KeypadSetting::Type, kTypeNames);
        if (error(KeypadSetting::AddType).empty()) {
            object.text("format", formatOfState(view));
            object.text("reverse", reversalText(view));
        } else {
            object.null("format").null("reverse");
        }
        names("add", KeypadSetting::AddType, kAddNames);
        for (const TimingName &t : kTimingNames) {
            const int count = view.position(t.timing);
            if (error(t.setting).empty()) {
                object.number(t.key, count);
                object.number(std::string(t.key) + "_ms", count * t.unitMs);
            } else {
                object.null(t.key).null(std::string(t.key) + "_ms");
            }
        }
        JsonObject errorObject;
        for (std::size_t i = 0; i < errors.size(); ++i) {
            if (!errors[i].empty())
                errorObject.text(settingName(static_cast<KeypadSetting>(i)), errors[i]);
        }
        object.json("errors", errorObject.str());
        return object.str();
    }

    std::string text;
    const auto line = [&](std::string_view name, KeypadSetting s, const std::string &value) {
        text += std::string(name) + ": " +
                (error(s).empty() ? value : "not read (" + error(s) + ")") + "\n";
    };
    line("mode", KeypadSetting::Mode, joined(checkedNames(view, kModeNames)));
    line("types", KeypadSetting::Type, joined(checkedNames(view, kTypeNames)));
    line("format", KeypadSetting::AddType, formatOfState(view));
    line("reverse", KeypadSetting::AddType, reversalText(view));
    line("add", KeypadSetting::AddType, joined(checkedNames(view, kAddNames)));
    for (const TimingName &t : kTimingNames) {
        const int count = view.position(t.timing);
        line(optionName(t), t.setting,
             std::to_string(count) + " (" + std::to_string(count * t.unitMs) + " ms)");
    }
    text.pop_back(); // the caller ends the last line, as for JSON
    return text;
}

} // namespace qn480::cli
