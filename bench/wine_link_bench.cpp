// SPDX-License-Identifier: GPL-3.0-or-later
// The link on Windows' serial port, run under Wine against qn480-sim (COMn in the prefix's
// dosdevices leading to its pty): the round trip of one transaction against its wire time,
// and each air interface's pass period against its floor (the loop's fixed sleeps plus the
// wire time of its transactions).
//
//   qn480_bench_wine_link COMn [COUNT]   (default 200 round trips and passes per interface)
#include "card_run.h"
#include "link.h"
#include "procedures.h"
#include "reader_commands.h"
#include "serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace qn480;
using Millis = std::chrono::duration<double, std::milli>;
using Steady = std::chrono::steady_clock;

// One byte on the wire at 115200 8N1: ten bits.
constexpr Millis kByteTime{10.0 * 1000.0 / 115200.0};
constexpr Millis kCommandPause{10};
constexpr int kWarmUp = 5;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

class PassClock final : public CardObserver
{
public:
    PassClock(StopToken &stop, int passes)
        : m_stop(stop)
        , m_passes(passes)
    {}
    void passEnded(const PassOutcome &) override
    {
        ends.push_back(Steady::now());
        wireBytes.push_back(bytes);
        bytes = 0;
        if (static_cast<int>(ends.size()) >= m_passes)
            m_stop.requestStop();
    }
    std::vector<Steady::time_point> ends;
    std::vector<std::size_t> wireBytes;
    std::size_t bytes = 0;

private:
    StopToken &m_stop;
    int m_passes;
};

struct PolledAir
{
    const char *name;
    CardProcedure procedure;
    int sleeps; // one before each command and one after the pass
};

constexpr PolledAir kInterfaces[] = {
    {"ISO14443A", CardProcedure::Iso14443A, 5},
    {"ISO14443B", CardProcedure::Iso14443B, 2},
    {"FeliCa", CardProcedure::Felica, 2},
    {"ISO15693", CardProcedure::Iso15693, 2},
};

bool open(Link &link, const std::string &port)
{
    OpenFailure failure;
    if (OpenPort(link, {{"COM01", 1, port, ""}}, 1, kReaderSettings, &failure))
        return true;
    std::fprintf(stderr, "cannot open %s: %s\n", port.c_str(), failure.reason.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: qn480_bench_wine_link COMn [COUNT]\n");
        return 2;
    }
    const std::string port = argv[1];
    const int count = argc > 2 ? std::max(std::atoi(argv[2]), 1) : 200;

    Link link;
    std::size_t bytes = 0;
    link.setTrace(
        [&](TraceDirection, std::span<const std::uint8_t> frame) { bytes += frame.size(); });
    if (!open(link, port))
        return 1;
    std::vector<double> trips;
    double wire = 0;
    for (int i = 0; i < count + kWarmUp; ++i) {
        bytes = 0;
        const auto start = Steady::now();
        const Reply reply = link.transact(commands::kReaderGroup, commands::kCarrierOff);
        const double took = Millis(Steady::now() - start).count();
        if (reply.result != TransactionResult::Frame) {
            std::fprintf(stderr, "a transaction failed\n");
            return 1;
        }
        if (i >= kWarmUp)
            trips.push_back(took);
        wire = (kByteTime * static_cast<double>(bytes)).count();
    }
    const double trip = median(trips);
    std::printf("round_trip win32 median_ms %.3f wire_ms %.3f ratio %.3f count %zu\n", trip, wire,
                trip / wire, trips.size());

    for (const PolledAir &air : kInterfaces) {
        StopToken stop;
        PassClock view(stop, count + kWarmUp + 1);
        link.setTrace([&](TraceDirection, std::span<const std::uint8_t> frame) {
            view.bytes += frame.size();
        });
        runCardProcedure(air.procedure, link, stop, view);
        std::vector<double> periods;
        std::vector<double> floors;
        for (std::size_t i = kWarmUp + 1; i < view.ends.size(); ++i) {
            periods.push_back(Millis(view.ends[i] - view.ends[i - 1]).count());
            floors.push_back(
                (kCommandPause * air.sleeps + kByteTime * static_cast<double>(view.wireBytes[i]))
                    .count());
        }
        const double period = median(periods);
        const double floor = median(floors);
        std::printf("pass_period win32 %s median_ms %.3f floor_ms %.3f ratio %.4f passes %zu\n",
                    air.name, period, floor, period / floor, periods.size());
    }
    ClosePort(link);
    return 0;
}
