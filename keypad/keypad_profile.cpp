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
        text += (first ? "  " : ",\n  ") + jsonText(key) + ": " + jsonText(value);
        first = false;
    }
    return text + "\n}\n";
}

ProfileFile profileIn(const std::string &path, std::string_view text)
{
    ProfileFile read;
    if (text.size() > kMaxProfile) {
        read.fault = ProfileFault::Refused;
        read.message = "profile " + path + ": larger than " + std::to_string(kMaxProfile) +
                       " bytes; not a profile";
        return read;
    }
    try {
        read.patch = profilePatch(text);
    } catch (const ProfileError &problem) {
        read.fault = ProfileFault::Refused;
        read.message = "profile " + path + ": " + problem.what() + "; nothing sent";
    }
    return read;
}

} // namespace qn480
