// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480::cli {

// A JSON string literal. Quotes, backslashes and control characters are escaped; bytes that
// are not UTF-8 (a port path may hold anything) become U+FFFD, so the line stays valid JSON.
std::string jsonString(std::string_view text);

// Bytes as upper-case hexadecimal pairs with `separator` between them: "1A 2B", "1A2B".
std::string hexText(std::span<const std::uint8_t> bytes, std::string_view separator);

// One JSON object, fields in the order they are added, written on one line.
class JsonObject
{
public:
    JsonObject &text(std::string_view key, std::string_view value);
    JsonObject &number(std::string_view key, long long value);
    JsonObject &null(std::string_view key);
    JsonObject &list(std::string_view key, const std::vector<std::string> &values);
    // A value that is already JSON, such as a nested object.
    JsonObject &json(std::string_view key, std::string_view value);

    std::string str() const { return "{" + m_body + "}"; }

private:
    void key(std::string_view name);

    std::string m_body;
};

} // namespace qn480::cli
