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
