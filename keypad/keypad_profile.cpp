// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_profile.h"

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

namespace qn480 {

std::string profileText(const nlohmann::ordered_json &report)
{
    std::string text = "{\n";
    bool first = true;
    for (const auto &[key, value] : report.items()) {
        if (key == "errors")
            continue;
        text += (first ? "  " : ",\n  ") + keypadJsonText(key) + ": " + keypadJsonText(value);
        first = false;
    }
    return text + "\n}\n";
}

} // namespace qn480
