// SPDX-License-Identifier: GPL-3.0-or-later
// The pass period of each air interface's polling loop against qn480-sim's reader over a
// pty, every response paced at 115200 baud, as a ratio to its floor: the loop's fixed
// sleeps plus the wire time of its transactions. Target: at most 1.05.
//
//   qn480_bench_pass_period [PASSES]      (default 200 per interface)
//
// Prints one line per interface: name, median period, floor, ratio, passes.

#include "faults.h"
#include "link.h"
#include "procedures.h"
#include "pty_server.h"
#include "reader_model.h"
#include "serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qn480;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int kDefaultPasses = 200;
constexpr int kWarmUpPasses = 5;
constexpr auto kCommandPause = std::chrono::milliseconds(10);

struct PolledAir
{
    const char *name;
    CardProcedure procedure;
    // The sleeps of one pass: one before each command and one after the pass. The Type A
    // pass of a single-size UID card without an answer to select sends four commands.
    int sleeps;
};

constexpr PolledAir kInterfaces[] = {
    {"ISO14443A", CardProcedure::Iso14443A, 5},
    {"ISO14443B", CardProcedure::Iso14443B, 2},
    {"FeliCa", CardProcedure::Felica, 2},
    {"ISO15693", CardProcedure::Iso15693, 2},
};

// Marks the end of each pass and counts the bytes that went over the line in it.
class PassClock final : public CardObserver
{
public:
    PassClock(StopToken &stop, int passes)
        : m_stop(stop)
        , m_passes(passes)
    {}

    void passEnded(const PassOutcome &) override
    {
        ends.push_back(std::chrono::steady_clock::now());
        wireBytes.push_back(m_bytes);
        m_bytes = 0;
        if (static_cast<int>(ends.size()) >= m_passes)
            m_stop.requestStop();
    }

    void countBytes(std::size_t n) { m_bytes += n; }

    std::vector<std::chrono::steady_clock::time_point> ends;
    std::vector<std::size_t> wireBytes;

private:
    StopToken &m_stop;
    int m_passes;
    std::size_t m_bytes = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool measure(const PolledAir &air, int passes)
{
    sim::ReaderModel model; // one card of each interface
    sim::FaultInjector faults({.pace = 1.0});
    sim::PtyServer server(model, faults);
    std::string error;
    if (!server.open(&error)) {
        std::fprintf(stderr, "no pty: %s\n", error.c_str());
        return false;
    }
    std::thread serving([&] { server.run(); });

    Link link;
    StopToken stop;
    PassClock view(stop, passes + kWarmUpPasses + 1);
    link.setTrace([&](TraceDirection, std::span<const std::uint8_t> frame) {
        view.countBytes(frame.size());
    });
    OpenFailure failure;
    bool ok =
        OpenPort(link, {{"COM20", 20, server.slavePath(), ""}}, 20, kReaderSettings, &failure);
    if (ok) {
        runCardProcedure(air.procedure, link, stop, view);
        ClosePort(link);
    } else {
        std::fprintf(stderr, "cannot open the pty: %s\n", failure.reason.c_str());
    }
    server.stop();
    serving.join();
    if (!ok)
        return false;

    // A period runs from the end of one pass to the end of the next: the closing sleep of
    // the one and the commands of the other, whose bytes were counted at its end.
    std::vector<double> periods;
    std::vector<double> floors;
    for (std::size_t i = kWarmUpPasses + 1; i < view.ends.size(); ++i) {
        periods.push_back(Millis(view.ends[i] - view.ends[i - 1]).count());
        floors.push_back(Millis(kCommandPause * air.sleeps +
                                sim::kByteTime * static_cast<long>(view.wireBytes[i]))
                             .count());
    }
    const double period = median(periods);
    const double floor = median(floors);
    std::printf("pass_period %s median_ms %.3f floor_ms %.3f ratio %.4f passes %zu\n", air.name,
                period, floor, period / floor, periods.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int passes = argc > 1 ? std::max(std::atoi(argv[1]), 1) : kDefaultPasses;
    bool ok = true;
    for (const PolledAir &air : kInterfaces)
        ok = measure(air, passes) && ok;
    return ok ? 0 : 1;
}
