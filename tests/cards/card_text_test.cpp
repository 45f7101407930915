// SPDX-License-Identifier: GPL-3.0-or-later
// The texts the card pages derive from card data: UID, hexadecimal, Plus letter, card type.
#include "card_text.h"
#include "fake_reader.h"
#include "text_util.h"
#include "trace.h"

#include <gtest/gtest.h>

#include <set>

using namespace qn480;
using qn480::testing::hex;

// The text helpers every folder shares: hexadecimal both ways, trims, numbers, timestamps.
TEST(CardText, HexadecimalTexts)
{
    const auto parsed = [](std::string_view text) -> std::string {
        const auto bytes = hexBytes(text);
        return bytes ? "[" + hexText(*bytes, " ") + "]" : "none";
    };
    const auto decimal = [](std::string_view text, long long min, long long max) {
        const auto value = decimalIn(text, min, max);
        return value ? std::to_string(*value) : std::string("none");
    };
    const auto number = [](std::string_view text) {
        const auto value = numberIn(text);
        return value ? std::to_string(*value) : std::string("none");
    };
    const auto utc = [](long long ms) {
        return traceTimestamp(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)),
                              TimestampForm::Utc);
    };
    const struct
    {
        std::string got;
        const char *want;
    } cases[] = {
        {hexByte(0x00), "00"},
        {hexByte(0x0A), "0A"},
        {hexByte(0xFF), "FF"},
        {hexText(hex("1a 2b 3c"), " "), "1A 2B 3C"},
        {hexText(hex("1A 2B"), ""), "1A2B"},
        {hexText(hex("00 FF"), ":"), "00:FF"},
        {hexText({}, " "), ""},
        // Pairs of digits of either case, nothing between or around them.
        {parsed("04a1B2"), "[04 A1 B2]"},
        {parsed(""), "[]"},
        {parsed("4A1"), "none"},
        {parsed("0G"), "none"},
        {parsed("04 A1"), "none"},
        {parsed("0x04"), "none"},
        {std::string(trimmed(" \t1A 2B \r\n")), "1A 2B"},
        {std::string(trimmed(" \t ")), ""},
        {std::string(trimmed("\f{} \n", " \t\r\n")), "\f{}"},
        {std::string(trimmed(" \n", " \t\r\n")), ""},
        {decimal("42", 1, 99), "42"},
        {decimal("007", 1, 99), "7"},
        {decimal("0", 1, 99), "none"},
        {decimal("100", 1, 99), "none"},
        {decimal("+5", 1, 99), "none"},
        {decimal("-0", 0, 99), "none"},
        {decimal(" 5", 1, 99), "none"},
        {decimal("5 s", 1, 99), "none"},
        {decimal("", 0, 99), "none"},
        {decimal("99999999999999999999", 0, 99), "none"},
        {number("0.25"), "0.250000"},
        {number("2"), "2.000000"},
        {number(""), "none"},
        {number("1 "), "none"},
        {number("1,5"), "none"},
        {utc(1772370309042), "2026-03-01T13:05:09.042Z"},
        {utc(0), "1970-01-01T00:00:00.000Z"},
        // Before 1970 the second is the one the millisecond lies in.
        {utc(-1), "1969-12-31T23:59:59.999Z"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(CardText, UidIsReversedAndFilledToSixteenDigitsOrMoreForTripleSize)
{
    const struct
    {
        const char *uid; // the cascade tags already left out
        const char *shown;
    } cases[] = {
        {"12 34 56 78", "0000000078563412"},
        {"04 A1 B2 C3 D4 E5 F6", "00F6E5D4C3B2A104"},
        {"", "0000000000000000"},
        {"FF 00 00 01", "00000000010000FF"},
        {"04 A1 B2 C3 D4 E5 F6 07 18 29", "291807F6E5D4C3B2A104"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(uidText(hex(c.uid)), c.shown) << c.uid;
}

TEST(CardText, PlusLetterNeedsSevenHistoricalBytesStartingWithC1)
{
    const struct
    {
        const char *ats;
        std::optional<std::uint8_t> variant;
    } cases[] = {
        {"0C 78 80 70 02 C1 05 2F 2F 01 BC D6", 0x01}, // TA, TB, TC present
        {"0C 78 80 70 02 C1 05 2F 2F 00 BC D6", 0x00},
        {"09 08 C1 05 2F 2F 01 BC D6", 0x01},           // no interface bytes
        {"0A 18 80 C1 05 2F 2F 01 BC D6", 0x01},        // TA only
        {"0C 78 80 70 02 C2 05 2F 2F 01 BC D6", {}},    // marker missing
        {"06 75 77 81 02 80", {}},                      // too few historical bytes
        {"0D 78 80 70 02 C1 05 2F 2F 01 BC D6 00", {}}, // eight historical bytes
        {"0C 78 80 70 02 C1 05 2F 2F 01 BC", {}},       // TL disagrees with the length
        {"01", {}},
        {"", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(plusVariantFromAts(hex(c.ats)), c.variant) << c.ats;
}

TEST(CardText, AllTwentyFourPlusNames)
{
    std::set<std::string> names;
    for (std::uint8_t variant : {0x00, 0x01, 0xFF})
        for (PlusLevel level : {PlusLevel::SL0, PlusLevel::SL1, PlusLevel::SL2, PlusLevel::SL3})
            for (PlusSize size : {PlusSize::Size2K, PlusSize::Size4K})
                names.insert(plusCardName(variant, level, size));
    const std::set<std::string> expected{
        "Mifare Plus S SL1 2K", "Mifare Plus X SL1 2K", "Mifare Plus SL1 2K",
        "Mifare Plus S SL1 4K", "Mifare Plus X SL1 4K", "Mifare Plus SL1 4K",
        "Mifare Plus S SL2 2K", "Mifare Plus X SL2 2K", "Mifare Plus SL2 2K",
        "Mifare Plus S SL2 4K", "Mifare Plus X SL2 4K", "Mifare Plus SL2 4K",
        "Mifare Plus S SL0 2K", "Mifare Plus X SL0 2K", "Mifare Plus SL0 2K",
        "Mifare Plus S SL0 4K", "Mifare Plus X SL0 4K", "Mifare Plus SL0 4K",
        "Mifare Plus S SL3 2K", "Mifare Plus X SL3 2K", "Mifare Plus SL3 2K",
        "Mifare Plus S SL3 4K", "Mifare Plus X SL3 4K", "Mifare Plus SL3 4K",
    };
    EXPECT_EQ(names, expected);
    EXPECT_EQ(plusCardName(0x02, PlusLevel::SL1, PlusSize::Size2K), "Mifare Plus SL1 2K");
}

TEST(CardText, CardTypeWithAnswerToSelect)
{
    const struct
    {
        std::uint8_t atqa0, atqa1, sak;
        bool probe;   // needsLevelProbe
        bool probeOk; // the probe's outcome, when sent
        const char *type;
    } cases[] = {
        {0x44, 0x03, 0x20, false, false, "Mifare DESFire"},
        {0x04, 0x00, 0x08, false, false, "Mifare Plus X SL1 2K"},
        {0x02, 0x00, 0x18, false, false, "Mifare Plus X SL1 4K"},
        {0x42, 0x00, 0x10, false, false, "Mifare Plus X SL2 2K"},
        {0x44, 0x00, 0x11, false, false, "Mifare Plus X SL2 4K"},
        {0x44, 0x00, 0x20, true, true, "Mifare Plus X SL0 2K"},
        {0x04, 0x00, 0x20, true, false, "Mifare Plus X SL3 2K"},
        {0x42, 0x00, 0x20, true, false, "Mifare Plus X SL3 4K"},
        {0x02, 0x00, 0x20, true, true, "Mifare Plus X SL0 4K"},
        {0x44, 0x03, 0x08, false, false, "Mifare Plus X SL1 2K"}, // DESFire's ATQA, Plus SAK
        {0x04, 0x03, 0x20, true, true, "Mifare Plus X SL0 2K"}, // ATQA byte 1 alone is not DESFire
        {0x44, 0x00, 0x28, false, false, "Unknown Type !"},
        {0x08, 0x00, 0x08, false, false, "Unknown Type !"}, // ATQA outside the set
        {0x44, 0x00, 0x00, false, false, "Unknown Type !"}, // Ultralight has no ATS row
    };
    for (const auto &c : cases) {
        const TypeAFacts facts{c.atqa0, c.atqa1, c.sak};
        SCOPED_TRACE(c.type);
        EXPECT_EQ(needsLevelProbe(facts), c.probe);
        EXPECT_EQ(cardTypeWithAts(facts, 0x01, c.probeOk), c.type);
    }
}

TEST(CardText, CardTypeWithoutAnswerToSelect)
{
    const struct
    {
        std::uint8_t atqa0, sak;
        const char *type;
    } cases[] = {
        {0x44, 0x00, "Mifare Ultralight"}, {0x04, 0x00, "Unknown Type !"},
        {0x44, 0x09, "Mifare Mini"},       {0x04, 0x09, "Mifare Mini"},
        {0x42, 0x09, "Unknown Type !"},    {0x04, 0x08, "Mifare Classic 1K"},
        {0x02, 0x08, "Mifare Classic 1K"}, {0x42, 0x18, "Mifare Classic 4K"},
        {0x44, 0x20, "Unknown Type !"},    {0x44, 0x28, "Unknown Type !"},
        {0x00, 0x08, "Unknown Type !"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cardTypeWithoutAts({c.atqa0, 0x00, c.sak}), c.type)
            << int(c.atqa0) << "/" << int(c.sak);
}
