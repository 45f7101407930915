// SPDX-License-Identifier: GPL-3.0-or-later
#include "text_checks.h"

#include "status_text.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace qn480::fuzz {

namespace {

bool isUpperHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

std::set<std::string, std::less<>> makeCardTypes()
{
    std::set<std::string, std::less<>> names{"Mifare DESFire",    "Mifare Ultralight",
                                             "Mifare Mini",       "Mifare Classic 1K",
                                             "Mifare Classic 4K", "Unknown Type !"};
    for (const char *variant : {"S ", "X ", ""}) {
        for (const char *level : {"SL0", "SL1", "SL2", "SL3"}) {
            for (const char *size : {"2K", "4K"})
                names.insert(std::string("Mifare Plus ") + variant + level + " " + size);
        }
    }
    return names;
}

std::set<std::string, std::less<>> makeStatusMessages()
{
    std::set<std::string, std::less<>> messages;
    for (int status = 0; status < 256; ++status) {
        const std::string_view text = StatusText(static_cast<std::uint8_t>(status));
        if (!text.empty())
            messages.emplace(text);
    }
    return messages;
}

} // namespace

void malformed(std::string_view what, std::string_view text)
{
    std::fprintf(stderr, "malformed: %.*s: \"%.*s\"\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(text.size()), text.data());
    std::abort();
}

void trace(std::string_view control, std::string_view text)
{
    static const bool enabled = std::getenv("QN480_FUZZ_TRACE") != nullptr;
    if (enabled)
        std::fprintf(stderr, "%.*s: \"%.*s\"\n", static_cast<int>(control.size()), control.data(),
                     static_cast<int>(text.size()), text.data());
}

bool isUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t follow = 0;
        if (lead < 0x80)
            follow = 0;
        else if (lead >= 0xC2 && lead <= 0xDF)
            follow = 1;
        else if (lead >= 0xE0 && lead <= 0xEF)
            follow = 2;
        else if (lead >= 0xF0 && lead <= 0xF4)
            follow = 3;
        else
            return false;
        for (std::size_t k = 1; k <= follow; ++k) {
            if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        }
        i += follow + 1;
    }
    return true;
}

bool isUpperHex(std::string_view text, std::size_t digits)
{
    if (text.size() != digits)
        return false;
    for (char c : text) {
        if (!isUpperHexDigit(c))
            return false;
    }
    return true;
}

bool isSpacedHex(std::string_view text, std::size_t count)
{
    if (text.size() != count * 3)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        if (!isUpperHexDigit(text[i]) || !isUpperHexDigit(text[i + 1]) || text[i + 2] != ' ')
            return false;
    }
    return true;
}

bool isSpacedHexUpTo(std::string_view text, std::size_t maxCount)
{
    return text.size() % 3 == 0 && text.size() / 3 <= maxCount &&
           isSpacedHex(text, text.size() / 3);
}

bool isStatusMessage(std::string_view text)
{
    static const auto messages = makeStatusMessages();
    return messages.contains(text);
}

bool isCardType(std::string_view text)
{
    static const auto names = makeCardTypes();
    return names.contains(text);
}

} // namespace qn480::fuzz
