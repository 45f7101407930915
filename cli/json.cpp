// SPDX-License-Identifier: GPL-3.0-or-later
#include "json.h"

#include "text_util.h"

#include <optional>

namespace qn480::cli {

namespace {

constexpr const char *kLowerDigits = "0123456789abcdef";

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const std::optional<char32_t> code = nextCodePoint(text, pos);
        if (!code) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            continue;
        }
        switch (*code) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (*code < 0x20) {
                out += "\\u00";
                out += kLowerDigits[*code >> 4];
                out += kLowerDigits[*code & 0x0F];
            } else {
                out += text.substr(start, pos - start);
            }
        }
    }
    return out + "\"";
}

std::string hexText(std::span<const std::uint8_t> bytes, std::string_view separator)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

void JsonObject::key(std::string_view name)
{
    if (!m_body.empty())
        m_body += ',';
    m_body += jsonString(name);
    m_body += ':';
}

JsonObject &JsonObject::text(std::string_view name, std::string_view value)
{
    key(name);
    m_body += jsonString(value);
    return *this;
}

JsonObject &JsonObject::number(std::string_view name, long long value)
{
    key(name);
    m_body += std::to_string(value);
    return *this;
}

JsonObject &JsonObject::null(std::string_view name)
{
    key(name);
    m_body += "null";
    return *this;
}

JsonObject &JsonObject::list(std::string_view name, const std::vector<std::string> &values)
{
    key(name);
    m_body += '[';
    for (std::size_t i = 0; i < values.size(); ++i)
        m_body += (i ? "," : "") + jsonString(values[i]);
    m_body += ']';
    return *this;
}

JsonObject &JsonObject::json(std::string_view name, std::string_view value)
{
    key(name);
    m_body += value;
    return *this;
}

} // namespace qn480::cli
