// SPDX-License-Identifier: GPL-3.0-or-later
// The frame assembler fed arbitrary bytes in arbitrary chunks, directly and through a
// transaction whose port delivers the chunks.
//
// Input: the largest chunk (a selector), a seed for the chunk lengths, then the bytes on
// the line. A response frame with two bytes in front is a seed.

#include "text_checks.h"

#include "fake_reader.h"

#include "clock.h"
#include "frame.h"
#include "link.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

namespace {

using namespace qn480;
using namespace qn480::fuzz;
using Chunks = std::vector<std::span<const std::uint8_t>>;

// Up to twice what the link reads in one round, so that a round must leave bytes queued.
constexpr std::array<std::size_t, 10> kLargestChunk{1, 2, 3, 7, 16, 64, 256, 1024, 1500, 2048};
constexpr std::chrono::microseconds kChunkGap{700};

Chunks cut(std::span<const std::uint8_t> line, std::size_t largest, std::uint32_t seed)
{
    Chunks chunks;
    std::uint32_t x = seed;
    while (!line.empty()) {
        x = x * 1103515245U + 12345U;
        const std::size_t n = std::min<std::size_t>(line.size(), 1 + (x >> 16) % largest);
        chunks.push_back(line.first(n));
        line = line.subspan(n);
    }
    return chunks;
}

bool sameResponse(const Response &a, const Response &b)
{
    return a.Status == b.Status && a.DataLength == b.DataLength && a.Data == b.Data;
}

void checkDataLength(const Response &response, std::size_t received)
{
    // A frame of 8 bytes carries a status and no data; longer ones 9 bytes besides it.
    const auto length = static_cast<long long>(response.DataLength);
    const long long frameBytes = length == 0 ? 8 : length + 9;
    expect(length == -1 || (length >= 0 && frameBytes <= static_cast<long long>(received) &&
                            length <= kFrameBufferSize),
           "DataLength outside the data received");
    expect(length != -1 || response.Status == 0, "Status without a frame");
}

// Byte by byte: only a good frame of at least 8 bytes changes the response, and then to
// exactly what it carries.
void feedDirectly(const Chunks &chunks)
{
    FrameAssembler assembler;
    // On the heap, so that a write past Data runs into the allocator's red zone.
    auto response = std::make_unique<Response>();
    Response before = *response;
    std::size_t received = 0;
    for (std::span<const std::uint8_t> chunk : chunks) {
        for (std::uint8_t byte : chunk) {
            ++received;
            const auto result = assembler.feed(byte, *response);
            const auto frame = assembler.frame();
            expect(frame.size() <= static_cast<std::size_t>(kFrameBufferSize), "frame too long");
            bool changes = false;
            if (result) {
                expect(*result == TransactionResult::Frame ||
                           *result == TransactionResult::BadChecksum,
                       "assembler result");
                expect(frame.size() >= 4 && frame[0] == kStartMark &&
                           frame.size() == std::size_t{frame[1]} * 256 + frame[2] + 4,
                       "completed frame of another length than announced");
                const bool good = xorChecksum(frame.subspan(1, frame.size() - 2)) == frame.back();
                expect(good == (*result == TransactionResult::Frame), "checksum judged wrongly");
                changes = good && frame.size() >= 8;
            }
            if (changes) {
                const std::size_t length = frame.size() > 9 ? frame.size() - 9 : 0;
                expect(response->Status == frame[7], "Status of a good frame");
                expect(response->DataLength == static_cast<std::int32_t>(length),
                       "DataLength of a good frame");
                expect(std::equal(frame.begin() + 8, frame.begin() + 8 + length,
                                  response->Data.begin()),
                       "Data of a good frame");
                expect(std::equal(response->Data.begin() + static_cast<std::ptrdiff_t>(length),
                                  response->Data.end(),
                                  before.Data.begin() + static_cast<std::ptrdiff_t>(length)),
                       "Data beyond a good frame's own changed");
                before = *response;
            } else {
                // Data in full only now and then: it is a kilobyte.
                expect(response->Status == before.Status &&
                           response->DataLength == before.DataLength &&
                           (!result || response->Data == before.Data),
                       "response changed without a good frame");
            }
            checkDataLength(*response, received);
        }
        expect(sameResponse(*response, before), "response changed without a good frame");
    }
}

// The chunks arrive one per wait after the request has gone out.
class ChunkPort final : public Port
{
public:
    ChunkPort(testing::FakeClock &clock, const Chunks &chunks)
        : m_clock(clock)
        , m_chunks(chunks)
    {}

    void purge() override { m_queue.clear(); }
    void write(std::span<const std::uint8_t>) override {}
    int queued() override { return static_cast<int>(m_queue.size()); }
    int read(std::span<std::uint8_t> bytes) override
    {
        const std::size_t n = std::min(bytes.size(), m_queue.size());
        std::copy_n(m_queue.begin(), n, bytes.begin());
        m_queue.erase(m_queue.begin(), m_queue.begin() + static_cast<std::ptrdiff_t>(n));
        reads.emplace_back(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
    }
    void waitReadable(std::chrono::nanoseconds slice) override
    {
        if (!m_queue.empty())
            return;
        if (m_next < m_chunks.size()) {
            m_queue.insert(m_queue.end(), m_chunks[m_next].begin(), m_chunks[m_next].end());
            ++m_next;
            m_clock.sleep(std::min<std::chrono::nanoseconds>(kChunkGap, slice));
            return;
        }
        m_clock.sleep(slice);
    }
    bool deviceLost() const override { return false; }
    bool checkDevice() override { return false; }

    std::vector<std::vector<std::uint8_t>> reads;

private:
    testing::FakeClock &m_clock;
    const Chunks &m_chunks;
    std::size_t m_next = 0;
    std::deque<std::uint8_t> m_queue;
};

// The transaction reads at most one buffer per round and stops after the round in which a
// frame completed, the last frame of that round deciding; its response is what the
// assembler made of exactly the bytes it read.
void feedThroughLink(const Chunks &chunks, std::size_t total)
{
    testing::FakeClock clock;
    auto owned = std::make_unique<ChunkPort>(clock, chunks);
    ChunkPort &port = *owned;
    Link link(clock);
    link.attach(std::move(owned));
    const auto start = clock.now();
    const TransactionResult result = link.ExecuteCommand(0x0A, 0x10, nullptr, 0);
    const auto elapsed = clock.now() - start;

    const int value = static_cast<int>(result);
    expect(value >= 0 && value <= 3 && result != TransactionResult::NoPort, "transaction result");

    FrameAssembler assembler;
    // The link takes only the answer to its request: group and code echoed, not the request.
    const auto request = buildRequest(0x0A, 0x10, {});
    assembler.expectAnswerTo(0x0A, 0x10);
    assembler.setFilter([&](std::span<const std::uint8_t> frame) {
        return !std::ranges::equal(frame, request) &&
               (frame.size() < kIdentifiedFrame || (frame[5] == 0x0A && frame[6] == 0x10));
    });
    Response replayed;
    std::optional<TransactionResult> decided;
    std::size_t received = 0;
    for (std::size_t i = 0; i < port.reads.size(); ++i) {
        const auto &round = port.reads[i];
        expect(round.size() <= static_cast<std::size_t>(kFrameBufferSize), "read beyond a buffer");
        expect(!decided, "read on after a frame completed");
        received += round.size();
        for (std::uint8_t byte : round) {
            if (auto r = assembler.feed(byte, replayed))
                decided = r;
        }
    }
    expect(received <= total, "more bytes read than sent");
    // A frame held back for an outer one that never completed is taken at the time-out.
    if (!decided) {
        if (auto held = assembler.finish(replayed)) {
            expect(elapsed > kResponseTimeout, "a held frame taken before the time-out");
            decided = held;
        }
    }
    if (decided)
        expect(result == *decided, "result other than the last frame's of the round");
    else
        expect(result == TransactionResult::TimeOut && elapsed > kResponseTimeout,
               "no frame but no time-out either");
    expect(sameResponse(link.LastResponse(), replayed), "LastResponse differs from the frames");
    checkDataLength(link.LastResponse(), received);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t largest = kLargestChunk[data[0] % kLargestChunk.size()];
    const std::span<const std::uint8_t> line(data + 2, size - 2);
    const Chunks chunks = cut(line, largest, data[1]);
    feedDirectly(chunks);
    feedThroughLink(chunks, line.size());
    return 0;
}
