// SPDX-License-Identifier: GPL-3.0-or-later
#include "faults.h"

#include "fake_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qn480::sim {
namespace {

using qn480::testing::hex;
using qn480::testing::hexText;

const Bytes kFrame = hex("AA 00 07 00 00 0A 10 01 04 00 18");

Bytes joined(const Delivery &delivery)
{
    Bytes all;
    for (const Bytes &piece : delivery.pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

TEST(FaultInjector, TheSameSeedRepeatsARunExactly)
{
    const FaultRates rates{.drop = 0.2, .corrupt = 0.2, .noise = 0.3, .split = 0.5, .delay = 0.1};
    FaultInjector a(rates, 42);
    FaultInjector b(rates, 42);
    FaultInjector other(rates, 43);
    int differences = 0;
    for (int i = 0; i < 200; ++i) {
        const Delivery x = a.shape(kFrame);
        const Delivery y = b.shape(kFrame);
        EXPECT_EQ(x.pieces, y.pieces);
        EXPECT_EQ(x.notes, y.notes);
        differences += other.shape(kFrame).pieces != x.pieces ? 1 : 0;
    }
    EXPECT_GT(differences, 0);
}

TEST(FaultInjector, EachFaultChangesOnlyWhatItShould)
{
    // Corrupted: only the checksum differs, and never into a start mark.
    for (const Bytes &frame : {kFrame, hex("AA 00 05 00 00 00 30 01 AB")}) {
        FaultInjector corrupt({.corrupt = 1});
        const Bytes bad = joined(corrupt.shape(frame));
        ASSERT_EQ(bad.size(), frame.size());
        EXPECT_TRUE(std::equal(frame.begin(), frame.end() - 1, bad.begin()));
        EXPECT_NE(bad.back(), frame.back());
        EXPECT_NE(bad.back(), 0xAA);
    }

    FaultInjector noise({.noise = 1}, 7);
    for (int i = 0; i < 50; ++i) {
        const Bytes noisy = joined(noise.shape(kFrame));
        ASSERT_GT(noisy.size(), kFrame.size());
        ASSERT_LE(noisy.size(), kFrame.size() + 8);
        const auto junk = noisy.size() - kFrame.size();
        EXPECT_TRUE(
            std::equal(kFrame.begin(), kFrame.end(), noisy.begin() + static_cast<long>(junk)));
        EXPECT_EQ(std::count(noisy.begin(), noisy.begin() + static_cast<long>(junk), 0xAA), 0)
            << "noise must not start a frame of its own";
    }

    FaultInjector split({.split = 1}, 9);
    for (int i = 0; i < 50; ++i) {
        const Delivery d = split.shape(kFrame);
        EXPECT_GE(d.pieces.size(), 2u);
        EXPECT_LE(d.pieces.size(), 4u);
        for (const Bytes &piece : d.pieces)
            EXPECT_FALSE(piece.empty());
        EXPECT_EQ(joined(d), kFrame);
    }

    FaultInjector drop({.drop = 1});
    EXPECT_TRUE(drop.shape(kFrame).pieces.empty());
    FaultInjector hangUp({.hangUp = 1});
    EXPECT_TRUE(hangUp.shape(kFrame).hangUp);

    FaultInjector slow({.delay = 1, .pace = 1, .delayBy = std::chrono::milliseconds(250)});
    const Delivery d = slow.shape(kFrame);
    EXPECT_EQ(d.delay, std::chrono::milliseconds(250));
    EXPECT_TRUE(d.paced);
    EXPECT_EQ(joined(d), kFrame);
}

// Without faults every response goes out whole and at once; a rate is roughly kept.
TEST(FaultInjector, RatesAreRoughlyKept)
{
    FaultInjector none;
    FaultInjector faults({.drop = 0.25}, 1234);
    int dropped = 0;
    for (int i = 0; i < 4000; ++i) {
        const Delivery d = none.shape(kFrame);
        ASSERT_EQ(d.pieces, std::vector<Bytes>{kFrame});
        EXPECT_FALSE(d.hangUp || d.paced || d.delay.count() != 0 || !d.notes.empty());
        dropped += faults.shape(kFrame).pieces.empty() ? 1 : 0;
    }
    EXPECT_GT(dropped, 800);
    EXPECT_LT(dropped, 1200);
}

} // namespace
} // namespace qn480::sim
