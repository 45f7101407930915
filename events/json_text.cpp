// SPDX-License-Identifier: GPL-3.0-or-later
#include "json_text.h"

#include "text_util.h"

namespace qn480 {

std::string utf8Text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        if (nextCodePoint(text, pos))
            out.append(text.substr(start, pos - start));
        else
            out += "\xEF\xBF\xBD"; // U+FFFD
    }
    return out;
}

std::string jsonText(const nlohmann::ordered_json &value)
{
    const std::string dumped =
        value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(dumped.size());
    // Outside strings JSON has no backslash, and inside them every backslash starts a
    // two-character escape: walking the pairs never splits one.
    for (std::size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i] != '\\' || i + 1 == dumped.size()) {
            out += dumped[i];
            continue;
        }
        const char escaped = dumped[++i];
        if (escaped == 'b')
            out += "\\u0008";
        else if (escaped == 'f')
            out += "\\u000c";
        else
            out += {'\\', escaped};
    }
    return out;
}

} // namespace qn480
