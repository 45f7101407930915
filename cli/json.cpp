#include "json.h"

#include <cstdio>

namespace qn480::cli {

std::string jsonString(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
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
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
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
