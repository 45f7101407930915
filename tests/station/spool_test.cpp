// SPDX-License-Identifier: GPL-3.0-or-later
#include "private_dir.h"
#include "spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qn480::station {
namespace {

namespace fs = std::filesystem;

SpooledEvent event(int n)
{
    SpooledEvent e;
    e.timeMs = 1'700'000'000'000 + n;
    e.kind = n % 2 ? EventKind::Removed : EventKind::Present;
    e.uid = "04A1B2C3D4E5F6" + std::to_string(n);
    e.payload = "{\"n\":" + std::to_string(n) + "}";
    return e;
}

std::vector<std::uint64_t> seqsOf(const Spool &spool)
{
    std::vector<std::uint64_t> seqs;
    for (const SpooledEvent &e : spool.pending())
        seqs.push_back(e.seq);
    return seqs;
}

fs::path onlySegment(const fs::path &dir)
{
    std::vector<fs::path> segments;
    for (const auto &entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".seg")
            segments.push_back(entry.path());
    }
    EXPECT_EQ(segments.size(), 1u);
    return segments.empty() ? fs::path() : segments.front();
}

void editFile(const fs::path &path, const std::function<void(std::string &)> &edit)
{
    std::string bytes;
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        bytes = text.str();
    }
    edit(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// What a power cut or a bad sector leaves in the segment of three records (seqs 1 to 3), and
// which of them can still be read. Nothing is fatal, and the seq goes on after the highest
// one ever written.
struct Damage
{
    const char *name;
    std::function<void(std::string &)> edit;
    std::vector<std::uint64_t> readable;
    std::size_t skipped;
};

class SpoolDamage : public ::testing::TestWithParam<Damage>
{};

TEST_P(SpoolDamage, DamagedRecordsAreSkippedAndTheRestIsKept)
{
    qn480::testing::PrivateDir dir("qn480-spool");
    std::string warned;
    {
        Spool spool(dir.path());
        for (int n = 1; n <= 3; ++n) {
            SpooledEvent e = event(n);
            spool.append(e);
        }
    }
    editFile(onlySegment(dir.path()), GetParam().edit);

    Spool spool(dir.path(), Spool::kDefaultCapacity,
                [&](const std::string &line) { warned += line + "\n"; });
    EXPECT_EQ(seqsOf(spool), GetParam().readable);
    EXPECT_EQ(spool.skippedRecords(), GetParam().skipped);
    EXPECT_EQ(warned.empty(), GetParam().skipped == 0) << warned;
    for (const SpooledEvent &e : spool.pending()) {
        const SpooledEvent written = event(static_cast<int>(e.seq));
        EXPECT_EQ(e.payload, written.payload);
        EXPECT_EQ(e.uid, written.uid);
        EXPECT_EQ(e.timeMs, written.timeMs);
        EXPECT_EQ(e.kind, written.kind);
    }

    // A record cut short was never handed on (its fdatasync did not return), so its seq is
    // free again; every other seq stays used.
    SpooledEvent next = event(4);
    spool.append(next);
    std::vector<std::uint64_t> expected = GetParam().readable;
    EXPECT_EQ(next.seq, expected.back() + 1);
    expected.push_back(next.seq);
    EXPECT_EQ(seqsOf(spool), expected);
}

const std::size_t kRecordSize = 12 + 19 + event(1).uid.size() + event(1).payload.size();

INSTANTIATE_TEST_SUITE_P(
    Spool, SpoolDamage,
    ::testing::Values(
        Damage{"Intact", [](std::string &) {}, {1, 2, 3}, 0},
        Damage{"TornLastRecord", [](std::string &b) { b.resize(b.size() - 5); }, {1, 2}, 1},
        Damage{"TornLastHeader", [](std::string &b) { b.resize(2 * kRecordSize + 6); }, {1, 2}, 1},
        Damage{"FlippedByteInTheMiddle",
               [](std::string &b) { b[kRecordSize + 20] ^= 0x40; },
               {1, 3},
               1},
        Damage{"ZerosAfterAPowerCut", [](std::string &b) { b.append(300, '\0'); }, {1, 2, 3}, 1}),
    [](const auto &param) { return std::string(param.param.name); });

TEST(Spool, AcknowledgedEventsStayAcknowledgedAndSeqGoesOnAcrossRestarts)
{
    qn480::testing::PrivateDir dir("qn480-spool");
    {
        Spool spool(dir.path());
        for (int n = 1; n <= 5; ++n) {
            SpooledEvent e = event(n);
            spool.append(e);
        }
        spool.markSent(2); // out of order: 1 is still out, so 2 waits for it
        EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
        spool.markSent(1);
        EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{3, 4, 5}));
        spool.markSent(1); // a second acknowledgement changes nothing
    }
    // A segment's name beyond any seq is not one of ours.
    std::ofstream(dir.path() / "99999999999999999999.seg") << "stray";
    {
        Spool spool(dir.path());
        EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{3, 4, 5}));
        for (std::uint64_t seq = 3; seq <= 5; ++seq)
            spool.markSent(seq);
        EXPECT_TRUE(spool.pending().empty());
    }
    Spool spool(dir.path());
    EXPECT_TRUE(spool.pending().empty());
    EXPECT_EQ(spool.nextSeq(), 6u);
    // Another process on the same folder would hand out the same seqs.
    EXPECT_THROW(Spool(dir.path()), SpoolError);
}

TEST(Spool, AFullSpoolDropsTheOldestAndCountsThemForGood)
{
    qn480::testing::PrivateDir dir("qn480-spool");
    {
        Spool spool(dir.path(), 3, {}, 16);
        std::size_t dropped = 0;
        for (int n = 1; n <= 100; ++n) { // several segments
            SpooledEvent e = event(n);
            dropped += spool.append(e);
        }
        EXPECT_EQ(dropped, 97u);
        EXPECT_EQ(spool.dropped(), 97u);
        EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{98, 99, 100}));
    }
    Spool spool(dir.path(), 3, {}, 16);
    EXPECT_EQ(spool.dropped(), 97u);
    EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{98, 99, 100}));
    std::size_t segments = 0;
    for (const auto &entry : fs::directory_iterator(dir.path()))
        segments += entry.path().extension() == ".seg";
    EXPECT_LE(segments, 2u) << "segments of dropped events are removed";
}

} // namespace
} // namespace qn480::station
