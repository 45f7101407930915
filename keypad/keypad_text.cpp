// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_text.h"

#include <string_view>

namespace qn480 {

namespace {

std::string joined(const std::vector<std::string> &names)
{
    if (names.empty())
        return "none";
    std::string text;
    for (const std::string &name : names)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

std::string addTypeText(const AddType &addType)
{
    return formatText(addType.format) + " reverse=" + reversalText(addType.reverse) +
           " add=" + joined(namesIn(addType.add, kAddNames));
}

} // namespace

std::string settingText(const KeypadSettings &settings, KeypadSetting setting)
{
    switch (setting) {
    case KeypadSetting::Mode:
        return joined(namesIn(settings.mode, kModeNames));
    case KeypadSetting::Type:
        return joined(namesIn(settings.types, kTypeNames));
    case KeypadSetting::AddType:
        return addTypeText(settings.addType);
    case KeypadSetting::SendTime:
    case KeypadSetting::ScanTime:
    case KeypadSetting::SameTime:
        return std::to_string(settings.bytes(setting)[0]);
    }
    return {};
}

std::string namesOf(const std::vector<KeypadSetting> &settings)
{
    std::string names;
    for (KeypadSetting setting : settings)
        names += (names.empty() ? "" : ", ") + std::string(settingInfo(setting).key);
    return names.empty() ? "none" : names;
}

std::string keypadFailureLine(const KeypadOutcome &outcome)
{
    return std::string(outcome.write ? "set " : "get ") +
           std::string(settingInfo(outcome.setting).key) + ": " + keypadFailureText(outcome);
}

std::string keypadReport(const KeypadSettings &settings, const KeypadErrors &errors, bool json)
{
    if (json)
        return jsonText(keypadJson(settings, errors));
    const auto error = [&](KeypadSetting s) -> const std::string & {
        return errors[settingIndex(s)];
    };
    const AddType &addType = settings.addType;
    std::string text;
    const auto line = [&](std::string_view name, KeypadSetting s, const std::string &value) {
        text += std::string(name) + ": " +
                (error(s).empty() ? value : "not read (" + error(s) + ")") + "\n";
    };
    line("mode", KeypadSetting::Mode, joined(namesIn(settings.mode, kModeNames)));
    line("types", KeypadSetting::Type, joined(namesIn(settings.types, kTypeNames)));
    line("format", KeypadSetting::AddType, formatText(addType.format));
    line("reverse", KeypadSetting::AddType, reversalText(addType.reverse));
    line("add", KeypadSetting::AddType, joined(namesIn(addType.add, kAddNames)));
    for (const TimingName &t : kTimingNames) {
        const int count = settings.bytes(t.setting)[0];
        line(t.option, t.setting,
             std::to_string(count) + " (" + std::to_string(count * t.unitMs) + " ms)");
    }
    text.pop_back(); // the caller ends the last line, as for JSON
    return text;
}

} // namespace qn480
