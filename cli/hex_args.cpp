// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes typed in hexadecimal, as raw's data and uid-forms' UID take them.
#include "frame.h"
#include "options.h"
#include "text_util.h"

namespace qn480::cli {

std::vector<std::uint8_t> parseHexBytes(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    std::size_t pos = 0;
    const auto separator = [](char c) {
        return c == ' ' || c == ':' || c == ',' || c == '\t';
    };
    while (pos < text.size()) {
        if (separator(text[pos])) {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        while (end < text.size() && !separator(text[end]))
            ++end;
        std::string_view word = text.substr(pos, end - pos);
        pos = end;
        if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
            word.remove_prefix(2);
        for (std::size_t at = 0; at < word.size();) {
            const std::size_t start = at;
            if (hexDigitValue(word[at++]) >= 0)
                continue;
            at = start;
            nextCodePoint(word, at);
            throw UsageError("data: " + quoted(word) + ": '" +
                             escapedText(word.substr(start, at - start)) +
                             "' is not a hexadecimal digit");
        }
        if (word.size() % 2 != 0) {
            throw UsageError("data: " + quoted(word) +
                             " has an odd number of hexadecimal digits; write every byte as two");
        }
        const auto wordBytes = hexBytes(word);
        bytes.insert(bytes.end(), wordBytes->begin(), wordBytes->end());
    }
    if (bytes.size() > static_cast<std::size_t>(kMaxRequestData)) {
        throw UsageError("data: " + std::to_string(bytes.size()) +
                         " bytes; a request takes at most " + std::to_string(kMaxRequestData));
    }
    return bytes;
}

} // namespace qn480::cli
