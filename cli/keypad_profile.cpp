// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_profile.h"

#include "json_text.h"
#include "keypad_json.h"
#include "text_util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <vector>

namespace qn480::cli {

KeypadPatch parseProfile(std::string_view text)
{
    try {
        return profilePatch(text);
    } catch (const ProfileError &error) {
        throw UsageError(error.what());
    }
}

std::string profileText(const nlohmann::ordered_json &report)
{
    std::string text = "{\n";
    bool first = true;
    for (const auto &[key, value] : report.items()) {
        if (key == "errors")
            continue;
        text += (first ? "  " : ",\n  ") + jsonText(key) + ": " + jsonText(value);
        first = false;
    }
    return text + "\n}\n";
}

} // namespace qn480::cli
