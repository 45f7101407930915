// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

// "10 s", "0.25 s": a duration as a person reads it, to the millisecond.
inline std::string secondsText(std::chrono::milliseconds time)
{
    const long long ms = time.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
        fraction.erase(fraction.find_last_not_of('0') + 1);
        text += "." + fraction;
    }
    return text + " s";
}

// The text without leading and trailing white space.
inline std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) {
        return std::isspace(static_cast<unsigned char>(c)) != 0;
    };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The text without the `blanks` it begins and ends with, for formats whose white space is
// narrower than the C library's (JSON's is " \t\r\n").
inline std::string_view trimmed(std::string_view text, std::string_view blanks)
{
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The text with ASCII letters in lower case; other bytes pass as they are.
inline std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// A whole decimal number from `min` to `max`, nothing else: no sign, blank or other text
// around it.
inline std::optional<long long> decimalIn(std::string_view text, long long min, long long max)
{
    if (text.empty() || text.front() == '-')
        return std::nullopt;
    long long value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < min || value > max)
        return std::nullopt;
    return value;
}

// A whole number with or without a fraction ("2", "0.25", "1e3"), nothing around it; the
// caller checks its range.
inline std::optional<double> numberIn(std::string_view text)
{
    double value = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// The value of a hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Upper case: every hexadecimal text the tool writes uses it.
inline constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// Two upper-case hexadecimal digits: "0A".
inline std::string hexByte(std::uint8_t byte)
{
    return {kHexDigits[byte >> 4], kHexDigits[byte & 0x0F]};
}

// Bytes as upper-case hexadecimal pairs with `separator` between them: "1A 2B", "1A2B".
inline std::string hexText(std::span<const std::uint8_t> bytes, std::string_view separator)
{
    std::string text;
    text.reserve(bytes.size() * (2 + separator.size()));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text += separator;
        text += kHexDigits[bytes[i] >> 4];
        text += kHexDigits[bytes[i] & 0x0F];
    }
    return text;
}

// Bytes written as pairs of hexadecimal digits of either case with nothing between them,
// "04a1B2"; the empty text is no bytes. Nothing when a digit lacks its pair or a character
// is not a digit.
inline std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

// The code point of the UTF-8 sequence at text[pos], advancing pos past it; nothing, with
// pos past one byte, when the bytes there are not well-formed UTF-8 (overlong forms and
// surrogates included).
inline std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t &pos)
{
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint8_t>(text[i]);
    };
    const std::uint8_t lead = byte(pos);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return std::nullopt;
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            ++pos;
            return std::nullopt;
        }
        code = (code << 6) | (byte(pos + i) & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++pos;
        return std::nullopt;
    }
    pos += length;
    return code;
}

// Text from outside (a device path, an environment variable) made safe to print on a
// terminal line: control characters, line separators, bidirectional overrides and bytes
// that are not UTF-8 become \xHH or \u{HHHH}, and a backslash is doubled, so the text can
// neither forge a line nor drive the terminal. Everything else passes as it is.
inline std::string escapedText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char buf[16];
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t start = pos;
        const std::optional<char32_t> code = nextCodePoint(text, pos);
        if (!code || *code < 0x20 || *code == 0x7F) {
            out += "\\x" + hexByte(static_cast<std::uint8_t>(text[start]));
        } else if ((*code >= 0x80 && *code < 0xA0) || *code == 0x2028 || *code == 0x2029 ||
                   (*code >= 0x202A && *code <= 0x202E) || (*code >= 0x2066 && *code <= 0x2069)) {
            std::snprintf(buf, sizeof buf, "\\u{%04X}", static_cast<unsigned>(*code));
            out += buf;
        } else if (*code == '\\') {
            out += "\\\\";
        } else {
            out.append(text.substr(start, pos - start));
        }
    }
    return out;
}

// Text from outside (a port path may hold anything) as JSON takes it: each byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so that no input breaks or forges a line.
inline std::string utf8Text(std::string_view text)
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

// escapedText in double quotes, with a quote inside escaped, for a message that cites it. A
// value of any length is cited by its first 80 characters and "…", so that the message
// stays one readable line.
inline std::string quoted(std::string_view text)
{
    constexpr int kCited = 80;
    std::size_t end = 0;
    for (int n = 0; end < text.size() && n < kCited; ++n)
        nextCodePoint(text, end);
    std::string out = "\"";
    for (const char c : escapedText(text.substr(0, end))) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out + (end < text.size() ? "\"\u2026" : "\"");
}

} // namespace qn480
