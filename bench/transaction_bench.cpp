// SPDX-License-Identifier: GPL-3.0-or-later
// Round trip of one transaction through the serial port (termios and Qt Serial Port) and the
// link to qn480-sim's reader model on a pty: the request for a Type A card (8 bytes) and its
// ATQA answer (11 bytes).

#include "faults.h"
#include "frame.h"
#include "link.h"
#include "reader_model.h"
#include "serial_port_qt.h"
#include "sim_reader.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <span>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

using namespace qn480;
using Micros = std::chrono::duration<double, std::micro>;

constexpr int kRequestBytes = 8;
constexpr int kResponseBytes = 11;

void report(benchmark::State &state, std::vector<double> times)
{
    if (times.empty())
        return;
    std::sort(times.begin(), times.end());
    const double wire = Micros(sim::kByteTime * (kRequestBytes + kResponseBytes)).count();
    state.counters["median_us"] = times[times.size() / 2];
    state.counters["p90_us"] = times[times.size() * 9 / 10];
    state.counters["max_us"] = times.back();
    state.counters["wire_us"] = wire;
    state.counters["median_per_wire"] = times[times.size() / 2] / wire;
}

void roundTrip(benchmark::State &state, bool paced, SerialBackend backend)
{
    soak::SimReader reader({.pace = paced ? 1.0 : 0.0});
    Link link;
    OpenFailure failure;
    auto port =
        openSerialDevice(reader.linkPath(), *parseLineSettings(kReaderSettings), backend, &failure);
    if (!port) {
        state.SkipWithError(failure.reason.c_str());
    } else {
        link.attach(std::move(port));
        link.transact(0x00, 0x30); // carrier on, so that the card answers
        std::vector<double> times;
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            const Reply reply = link.transact(0x0A, 0x10);
            times.push_back(Micros(std::chrono::steady_clock::now() - start).count());
            if (reply.result != TransactionResult::Frame || reply.response.DataLength != 2) {
                state.SkipWithError("the reader did not answer");
                break;
            }
        }
        report(state, times);
    }
    ClosePort(link);
}

// The same exchange without the link: a blocking poll on a raw descriptor that returns the
// moment the last byte is there. What the link adds is the difference to this.
void rawBaseline(benchmark::State &state, bool paced)
{
    soak::SimReader reader({.pace = paced ? 1.0 : 0.0});
    const int fd = ::open(reader.linkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const std::uint8_t carrierOn[] = {0xAA, 0x00, 0x04, 0x00, 0x00, 0x00, 0x30, 0x34};
    const std::uint8_t request[] = {0xAA, 0x00, 0x04, 0x00, 0x00, 0x0A, 0x10, 0x1E};
    const auto exchange = [&](std::span<const std::uint8_t> bytes, int expected) {
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            return false;
        std::uint8_t buf[64];
        int got = 0;
        while (got < expected) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 1000) <= 0)
                return false;
            const ssize_t n = ::read(fd, buf + got, sizeof buf - static_cast<std::size_t>(got));
            if (n <= 0)
                return false;
            got += static_cast<int>(n);
        }
        return true;
    };
    std::vector<double> times;
    if (fd < 0 || !exchange(carrierOn, 9)) {
        state.SkipWithError("cannot reach the reader");
    } else {
        for (auto _ : state) {
            const auto start = std::chrono::steady_clock::now();
            const bool ok = exchange(request, kResponseBytes);
            times.push_back(Micros(std::chrono::steady_clock::now() - start).count());
            if (!ok) {
                state.SkipWithError("the reader did not answer");
                break;
            }
        }
        report(state, times);
    }
    if (fd >= 0)
        ::close(fd);
}

// The assembler's worst case: 1022 bytes of "AA 03", each 0xAA opening a candidate that
// declares 942 bytes, so that every byte goes through hundreds of open candidates.
void hostileBytes(benchmark::State &state)
{
    std::vector<std::uint8_t> flood;
    while (flood.size() < static_cast<std::size_t>(kFrameBufferSize - 1)) {
        flood.push_back(kStartMark);
        flood.push_back(0x03);
    }
    std::vector<double> times;
    Response response;
    for (auto _ : state) {
        FrameAssembler assembler;
        assembler.expectAnswerTo(0x0A, 0x10);
        assembler.setFilter([](std::span<const std::uint8_t> frame) {
            return frame.size() < kIdentifiedFrame || (frame[5] == 0x0A && frame[6] == 0x10);
        });
        const auto start = std::chrono::steady_clock::now();
        for (std::uint8_t byte : flood)
            benchmark::DoNotOptimize(assembler.feed(byte, response));
        times.push_back(Micros(std::chrono::steady_clock::now() - start).count());
    }
    // The counters every row of the CSV has; no wire here. A byte's share is median / 1022.
    std::sort(times.begin(), times.end());
    state.counters["median_us"] = times[times.size() / 2];
    state.counters["p90_us"] = times[times.size() * 9 / 10];
    state.counters["max_us"] = times.back();
    state.counters["wire_us"] = 0;
    state.counters["median_per_wire"] = 0;
}

} // namespace

// Target: at most 0.8 us a byte.
BENCHMARK(hostileBytes)
    ->Name("frame_hostile_bytes")
    ->Iterations(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// Target: median <= 500 us (a blind 5 ms sleep between polls would give >= 5 ms).
BENCHMARK_CAPTURE(roundTrip, termios, false, SerialBackend::Termios)
    ->Name("transaction_round_trip")
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
// Target: median <= 1.1 x the wire time of request plus response (1649 us).
BENCHMARK_CAPTURE(roundTrip, termios_paced, true, SerialBackend::Termios)
    ->Name("transaction_round_trip_115200_baud")
    ->Iterations(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
// The same on the Qt Serial Port backend, with the same targets.
BENCHMARK_CAPTURE(roundTrip, qt, false, SerialBackend::Qt)
    ->Name("transaction_round_trip_qt")
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(roundTrip, qt_paced, true, SerialBackend::Qt)
    ->Name("transaction_round_trip_qt_115200_baud")
    ->Iterations(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_CAPTURE(rawBaseline, unpaced, false)
    ->Name("raw_pty_baseline")
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rawBaseline, paced, true)
    ->Name("raw_pty_baseline_115200_baud")
    ->Iterations(1000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    // The Qt port runs here without an application object.
    qn480::quietenPortWarningsWithoutApplication();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
