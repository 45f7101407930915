// SPDX-License-Identifier: GPL-3.0-or-later
#include "status_text.h"

#include <gtest/gtest.h>

#include <string>

using qn480::StatusText;

TEST(StatusText, KnownBytesHaveTheirMessages)
{
    EXPECT_EQ(StatusText(0x01), "Operation is successful.");
    EXPECT_EQ(StatusText(0x22), "Device received incorrect parameter.");
    EXPECT_EQ(StatusText(0xA0), "There is a response after HALT command");
    EXPECT_EQ(StatusText(0xE2), "Data collision occurs. ( ISO14443A / 15693 )");
    EXPECT_EQ(StatusText(0xA2), "Perform an MIFARE authorized operation while crypto engine on "
                                "reader IC is not turned on.");
}

TEST(StatusText, ApostrophesAreRightSingleQuotesInUtf8)
{
    EXPECT_EQ(StatusText(0xE0), "There is no card or card doesn\xE2\x80\x99t respond.");
    EXPECT_EQ(StatusText(0xF4), "The QN480 don\xE2\x80\x99t response within defined timeout");
}

TEST(StatusText, ExactlyThirtyTwoBytesHaveAText)
{
    int known = 0;
    for (int b = 0; b < 256; ++b)
        known += StatusText(static_cast<std::uint8_t>(b)).empty() ? 0 : 1;
    EXPECT_EQ(known, 32);
    for (int b : {0x00, 0x02, 0x31, 0xAB, 0xF5, 0xFF})
        EXPECT_TRUE(StatusText(static_cast<std::uint8_t>(b)).empty()) << b;
}
