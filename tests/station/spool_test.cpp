// SPDX-License-Identifier: GPL-3.0-or-later
#include "private_dir.h"
#include "spool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

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

// Events first to last, appended in turn.
void appendEvents(Spool &spool, int first, int last)
{
    for (int n = first; n <= last; ++n) {
        SpooledEvent e = event(n);
        spool.append(e);
    }
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

const std::size_t kRecordSize = 12 + 19 + event(1).uid.size() + event(1).payload.size();

// What a power cut or a bad sector leaves in the segment of three records (seqs 1 to 3), and
// which of them can still be read. Nothing is fatal, and the seq goes on after the highest
// one ever written, a record that cannot be read included.
TEST(Spool, DamagedRecordsAreSkippedAndTheRestIsKept)
{
    const struct
    {
        const char *name;
        std::function<void(std::string &)> edit;
        std::vector<std::uint64_t> readable;
        std::size_t skipped;
        std::uint64_t nextSeq;
    } cases[] = {
        {"intact", [](std::string &) {}, {1, 2, 3}, 0, 4},
        {"last record one byte short", [](std::string &b) { b.pop_back(); }, {1, 2}, 1, 4},
        {"torn last header", [](std::string &b) { b.resize(2 * kRecordSize + 6); }, {1, 2}, 1, 4},
        {"only a torn record", [](std::string &b) { b.resize(kRecordSize - 1); }, {}, 1, 2},
        {"a flipped byte", [](std::string &b) { b[kRecordSize + 20] ^= 0x40; }, {1, 3}, 1, 4},
        {"zeros after a power cut", [](std::string &b) { b.append(300, '\0'); }, {1, 2, 3}, 1, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qn480::testing::PrivateDir dir("qn480-spool");
        {
            Spool spool(dir.path());
            appendEvents(spool, 1, 3);
        }
        editFile(onlySegment(dir.path()), c.edit);
        std::string warned;
        Spool spool(dir.path(), Spool::kDefaultCapacity,
                    [&](const std::string &line) { warned += line + "\n"; });
        EXPECT_EQ(seqsOf(spool), c.readable);
        EXPECT_EQ(spool.skippedRecords(), c.skipped);
        EXPECT_EQ(warned.empty(), c.skipped == 0) << warned;
        for (const SpooledEvent &e : spool.pending()) {
            const SpooledEvent written = event(static_cast<int>(e.seq));
            EXPECT_EQ(e.payload, written.payload);
            EXPECT_EQ(e.uid, written.uid);
            EXPECT_EQ(e.timeMs, written.timeMs);
            EXPECT_EQ(e.kind, written.kind);
        }
        // A record cut short may have gone out before the damage: its seq is never used again.
        SpooledEvent next = event(4);
        spool.append(next);
        std::vector<std::uint64_t> expected = c.readable;
        EXPECT_EQ(next.seq, c.nextSeq);
        expected.push_back(next.seq);
        EXPECT_EQ(seqsOf(spool), expected);
    }
}

// What may be planted in a spool folder: the spool refuses it in one line, at once, and
// neither reads from nor writes through it.
TEST(Spool, RefusesFoldersOthersMayWriteToAndFilesThatAreNotItsOwn)
{
    const struct
    {
        const char *name;
        std::function<void(const fs::path &dir, const fs::path &elsewhere)> plant;
        const char *error;
    } cases[] = {
        {"FifoAsState",
         [](const fs::path &dir, const fs::path &) {
             fs::remove(dir / "state");
             ASSERT_EQ(::mkfifo((dir / "state").c_str(), 0600), 0);
         },
         "state is not a regular file"},
        {"FifoAsSegment",
         [](const fs::path &dir, const fs::path &) {
             ASSERT_EQ(::mkfifo((dir / "00000000000000000004.seg").c_str(), 0600), 0);
         },
         "04.seg is not a regular file"},
        {"LinkAsState",
         [](const fs::path &dir, const fs::path &elsewhere) {
             fs::remove(dir / "state");
             fs::create_symlink(elsewhere, dir / "state");
         },
         "state is a symbolic link"},
        {"LinkAsSegment",
         [](const fs::path &dir, const fs::path &elsewhere) {
             fs::create_symlink(elsewhere, dir / "00000000000000000004.seg");
         },
         "04.seg is a symbolic link"},
        {"GroupWritableFolder",
         [](const fs::path &dir, const fs::path &) { fs::permissions(dir, fs::perms(0770)); },
         "may be written by others (mode 0770)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        qn480::testing::PrivateDir dir("qn480-spool");
        const fs::path spoolDir = dir.path() / "spool";
        {
            Spool spool(spoolDir);
            appendEvents(spool, 1, 3);
        }
        const fs::path elsewhere = dir.path() / "precious";
        std::ofstream(elsewhere) << "not the spool's";
        c.plant(spoolDir, elsewhere);
        try {
            Spool spool(spoolDir);
            ADD_FAILURE() << "accepted";
        } catch (const SpoolError &e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        std::ostringstream kept;
        kept << std::ifstream(elsewhere).rdbuf();
        EXPECT_EQ(kept.str(), "not the spool's");
    }
}

// A full disk, as a file size limit makes it: the record is cut short, then refused with
// the reason of the call that failed, and nothing of it stays.
TEST(Spool, AnEventThatCannotBeWrittenIsRefusedWithItsReason)
{
    qn480::testing::PrivateDir dir("qn480-spool");
    Spool spool(dir.path());
    SpooledEvent first = event(1);
    spool.append(first);

    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = fs::file_size(onlySegment(dir.path())) + 10;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    errno = ENOENT; // what some earlier call left
    SpooledEvent second = event(2);
    try {
        spool.append(second);
        ADD_FAILURE() << "accepted";
    } catch (const SpoolError &e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(EFBIG)), std::string::npos) << e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);

    spool.append(second);
    EXPECT_EQ(second.seq, 2u);
    EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{1, 2}));
}

TEST(Spool, AcknowledgedEventsStayAcknowledgedAndSeqGoesOnAcrossRestarts)
{
    qn480::testing::PrivateDir dir("qn480-spool");
    std::string id;
    {
        Spool spool(dir.path());
        id = spool.id();
        appendEvents(spool, 1, 5);
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
        EXPECT_EQ(spool.id(), id);
        EXPECT_EQ(seqsOf(spool), (std::vector<std::uint64_t>{3, 4, 5}));
        for (std::uint64_t seq = 3; seq <= 5; ++seq)
            spool.markSent(seq);
        EXPECT_TRUE(spool.pending().empty());
    }
    // The id is the folder's for good; a folder of an older version, without one, gets one.
    EXPECT_EQ(Spool(dir.path()).id(), id);
    fs::remove(dir.path() / "id");
    id = Spool(dir.path()).id();
    Spool spool(dir.path());
    EXPECT_EQ(spool.id(), id);
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    qn480::testing::PrivateDir other("qn480-spool");
    EXPECT_NE(Spool(other.path()).id(), id);
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
