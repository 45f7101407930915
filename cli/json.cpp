#include "json.h"

namespace qn480::cli {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 when it is not one
// (overlong forms, surrogates and values above U+10FFFF included).
std::size_t utf8Length(std::string_view text)
{
    const auto byte = [&](std::size_t i) {
        return static_cast<unsigned char>(text[i]);
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

// "\\u001b" in JSON, "\\x1B" in text.
std::string escapedByte(std::string_view prefix, unsigned char c, const char *digits)
{
    return std::string(prefix) + digits[c >> 4] + digits[c & 0x0F];
}

constexpr const char *kLowerDigits = "0123456789abcdef";
constexpr const char *kUpperDigits = "0123456789ABCDEF";

} // namespace

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    while (!text.empty()) {
        const char c = text.front();
        const std::size_t length = utf8Length(text);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            text.remove_prefix(1);
            continue;
        }
        if (length > 1) {
            out += text.substr(0, length);
            text.remove_prefix(length);
            continue;
        }
        text.remove_prefix(1);
        switch (c) {
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
            if (static_cast<unsigned char>(c) < 0x20)
                out += escapedByte("\\u00", static_cast<unsigned char>(c), kLowerDigits);
            else
                out += c;
        }
    }
    return out + "\"";
}

std::string safeText(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text.front());
        std::size_t length = utf8Length(text);
        // C1 controls (U+0080 to U+009F) act on terminals as ESC sequences do.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0)
            length = 0;
        if (length == 0 || (length == 1 && (c < 0x20 || c == 0x7F))) {
            out += escapedByte("\\x", c, kUpperDigits);
            text.remove_prefix(1);
            continue;
        }
        if (c == '\\')
            out += '\\';
        out += text.substr(0, length);
        text.remove_prefix(length);
    }
    return out;
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
