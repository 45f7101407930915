// SPDX-License-Identifier: GPL-3.0-or-later
// Wire format: requests built and responses assembled, checked against hand-written frames.
#include "fake_reader.h"
#include "frame.h"

#include <gtest/gtest.h>

using namespace qn480;
using qn480::testing::hex;
using qn480::testing::hexText;
using Bytes = qn480::testing::Bytes;

namespace {

struct Fed
{
    std::optional<TransactionResult> result;
    Response response;
};

// Feeds the bytes as one chunk; the last completed frame decides the result.
Fed feedAll(const Bytes &bytes, FrameAssembler *assembler = nullptr)
{
    FrameAssembler local;
    FrameAssembler &a = assembler ? *assembler : local;
    if (!assembler)
        a.reset();
    Fed fed;
    for (std::uint8_t b : bytes) {
        if (auto r = a.feed(b, fed.response))
            fed.result = r;
    }
    return fed;
}

} // namespace

TEST(RequestFrame, MatchesTheReadersExamples)
{
    const struct
    {
        std::uint8_t group, code;
        const char *data, *frame;
    } cases[] = {
        {0x00, 0x30, "", "AA 00 04 00 00 00 30 34"},
        {0x0A, 0x10, "", "AA 00 04 00 00 0A 10 1E"},
        {0x0A, 0x12, "01 00", "AA 00 06 00 00 0A 12 01 00 1F"},
        {0x0A, 0x13, "01 12 34 56 78", "AA 00 09 00 00 0A 13 01 12 34 56 78 19"},
        {0x0C, 0x10, "FF FF 00 00", "AA 00 08 00 00 0C 10 FF FF 00 00 14"},
        {0x00, 0x11, "0F", "AA 00 05 00 00 00 11 0F 1B"},
        {0x00, 0x1B, "09 04 81", "AA 00 07 00 00 00 1B 09 04 81 90"},
        {0x00, 0x15, "C8", "AA 00 05 00 00 00 15 C8 D8"},
    };
    for (const auto &c : cases) {
        const auto data = hex(c.data);
        EXPECT_EQ(hexText(buildRequest(c.group, c.code, data)), c.frame);
    }
}

TEST(RequestFrame, LongestDataFitsTheBufferAndLongerIsRefused)
{
    const std::vector<std::uint8_t> probe(19, 0x5A);
    const auto frame = buildRequest(0x0A, 0x40, probe);
    EXPECT_EQ(frame.size(), 27u);
    EXPECT_EQ(frame[1], 0x00);
    EXPECT_EQ(frame[2], 0x17);

    EXPECT_EQ(buildRequest(0, 0, std::vector<std::uint8_t>(kMaxRequestData)).size(),
              static_cast<std::size_t>(kFrameBufferSize));
    EXPECT_THROW(buildRequest(0, 0, std::vector<std::uint8_t>(kMaxRequestData + 1)),
                 std::length_error);
}

TEST(FrameAssembler, FramesFromOneChunk)
{
    const struct
    {
        const char *name;
        const char *bytes;
        std::optional<TransactionResult> result; // of the last completed frame
        std::uint8_t status;
        int dataLength;
        const char *data; // the buffer's first bytes
    } cases[] = {
        {"with data", "AA 00 06 00 00 0A 10 01 00 1D", TransactionResult::Frame, 0x01, 1, "00"},
        // LEN 4: byte 7 is the checksum and becomes the status.
        {"LEN 4", "AA 00 04 00 00 0A 10 1E", TransactionResult::Frame, 0x1E, 0, ""},
        {"LEN 5, no data", "AA 00 05 00 00 00 31 01 35", TransactionResult::Frame, 0x01, 0, ""},
        // Fewer than 8 bytes with a good checksum: a frame, but no status.
        {"under 8 bytes", "AA 00 01 00 01", TransactionResult::Frame, 0x00, -1, ""},
        {"bad checksum", "AA 00 06 00 00 0A 10 01 00 1C", TransactionResult::BadChecksum, 0x00, -1,
         ""},
        // Noise, then a frame cut by a start mark inside its data, then a whole frame.
        {"restart", "13 37 00 AA 00 07 00 00 0A 10 01 AA 00 06 00 00 0A 10 01 00 1D",
         TransactionResult::Frame, 0x01, 1, "00"},
        // A 0xAA inside the data is data when length and checksum say so.
        {"AA as data", "AA 00 07 00 00 0A 10 01 AA 11 A7", TransactionResult::Frame, 0x01, 2,
         "AA 11"},
        {"good then bad keeps the good response",
         "AA 00 07 00 00 0A 10 01 44 00 58 AA 00 06 00 00 0A 10 01 00 00",
         TransactionResult::BadChecksum, 0x01, 2, "44 00"},
        {"a later shorter frame leaves the data beyond it",
         "AA 00 07 00 00 0A 10 01 44 03 5B AA 00 06 00 00 0A 10 01 07 1A", TransactionResult::Frame,
         0x01, 1, "07 03"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto fed = feedAll(hex(c.bytes));
        EXPECT_EQ(fed.result, c.result);
        EXPECT_EQ(fed.response.Status, c.status);
        EXPECT_EQ(fed.response.DataLength, c.dataLength);
        const std::string data = c.data;
        EXPECT_EQ(hexText(std::span(fed.response.Data).first((data.size() + 1) / 3)), data);
    }
}

TEST(FrameAssembler, AssemblesAcrossChunks)
{
    FrameAssembler a;
    a.reset();
    Fed fed;
    for (const char *part : {"AA 00", "06 00 00 0A", "10 01 00", "1D"}) {
        EXPECT_FALSE(fed.result.has_value());
        for (std::uint8_t b : hex(part))
            if (auto r = a.feed(b, fed.response))
                fed.result = r;
    }
    EXPECT_EQ(fed.result, TransactionResult::Frame);
    EXPECT_EQ(fed.response.DataLength, 1);
}

TEST(FrameAssembler, LongestFrameAcceptedAndLongerDropped)
{
    auto frameOfSize = [](int size) {
        Bytes f(static_cast<std::size_t>(size), 0x11);
        const int len = size - 4;
        f[0] = 0xAA;
        f[1] = static_cast<std::uint8_t>(len >> 8);
        f[2] = static_cast<std::uint8_t>(len & 0xFF);
        f[7] = 0x01;
        f.back() = xorChecksum(std::span(f).subspan(1, f.size() - 2));
        return f;
    };
    auto fed = feedAll(frameOfSize(1023));
    ASSERT_EQ(fed.result, TransactionResult::Frame);
    EXPECT_EQ(fed.response.DataLength, 1023 - 9);

    fed = feedAll(frameOfSize(1024));
    EXPECT_FALSE(fed.result.has_value());
    EXPECT_EQ(fed.response.DataLength, -1);
}

// An answer whose data holds a whole answer to the same request (an ATS can): the outer
// frame is the answer, the inner one only when the outer fails.
TEST(FrameAssembler, AFrameInsideAFrameIsDataUnlessTheOuterFails)
{
    const Bytes ats = hex("0B AA 00 06 00 00 0A 15 01 01 19");
    const Bytes outer = qn480::testing::responseFrame(0x0A, 0x15, 0x01, ats);
    Bytes badSum = outer;
    badSum.back() ^= 0xFF;
    const Bytes cut(outer.begin(), outer.end() - 1); // all but its checksum
    const struct
    {
        const char *name;
        Bytes bytes;
        bool inputEnds; // nothing more comes: finish()
        const char *data;
    } cases[] = {
        {"outer good", outer, false, "0B AA 00 06 00 00 0A 15 01 01 19"},
        {"outer bad checksum", badSum, false, "01"},
        {"outer answers another command", qn480::testing::responseFrame(0x0A, 0x16, 0x01, ats),
         false, "01"},
        {"outer never completes", cut, true, "01"},
        {"outer still coming", cut, false, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FrameAssembler a;
        a.expectAnswerTo(0x0A, 0x15);
        a.setFilter([](std::span<const std::uint8_t> f) {
            return f.size() < kIdentifiedFrame || (f[5] == 0x0A && f[6] == 0x15);
        });
        Fed fed = feedAll(c.bytes, &a);
        if (c.inputEnds)
            fed.result = a.finish(fed.response);
        if (c.data == nullptr) {
            EXPECT_FALSE(fed.result.has_value());
            continue;
        }
        ASSERT_EQ(fed.result, TransactionResult::Frame);
        EXPECT_EQ(hexText(std::span(fed.response.Data)
                              .first(static_cast<std::size_t>(fed.response.DataLength))),
                  c.data);
    }
}
