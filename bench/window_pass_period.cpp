// SPDX-License-Identifier: GPL-3.0-or-later
// The ISO14443A page's pass period through the real window: the window as qn480-tool makes
// it, connected to qn480-sim's reader over a pty (every response paced at 115200 baud), its
// Read pressed and its boxes, status line and run indicator drawn on every pass. The
// period runs from one pass's request for a card to the next; its floor is the pass's five
// 10 ms sleeps plus the wire time of its bytes. Target: at most 1.04. Where the rest goes:
// beyond_wire_ms from the requests to their answers, beyond_sleeps_ms from the answers to
// the next requests (the window's drawing and event processing, and the sleeps' lateness);
// cpu_ms_per_pass, the window thread's CPU time.
//
//   qn480_bench_window_pass_period [PASSES]      (default 200; QN480_SERIAL_BACKEND picks
//                                                 the port code)
//
// Run it on the display to be measured (xvfb-run, or QT_QPA_PLATFORM=offscreen).

#include "application.h"
#include "faults.h"
#include "frm_main.h"
#include "link.h"
#include "reader_model.h"
#include "serial_port.h"
#include "sim_reader.h"

#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace qn480;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int kDefaultPasses = 200;
constexpr int kWarmUpPasses = 5;
constexpr int kSleepsPerPass = 5; // before each of four commands, and after the pass
constexpr auto kCommandPause = std::chrono::milliseconds(10);

// CPU time of the calling thread (the window's), in milliseconds.
double threadCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto ms = [](const timeval &t) {
        return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int passes = argc > 1 ? std::max(std::atoi(argv[1]), 1) : kDefaultPasses;
    Application app(argc, argv);

    soak::SimReader reader({.pace = 1.0}); // one card of each interface

    // The card log's choice and file kept away from the user's own.
    QTemporaryDir scratch;
    QSettings settings(scratch.filePath(QStringLiteral("tool.ini")), QSettings::IniFormat);
    FrmMainDependencies deps{.cardLogSettings = &settings,
                             .cardLogPath =
                                 scratch.filePath(QStringLiteral("cards.jsonl")).toStdString()};
    deps.listPorts = [&reader] {
        return reader.ports();
    };
    int status = 1;
    {
        TfrmMain window(deps);
        window.show();
        window.portRow().btn_ConnectClick();
        auto *read = window.findChild<QPushButton *>(QStringLiteral("btn_Read01"));
        auto *stop = window.findChild<QPushButton *>(QStringLiteral("btn_Stop01"));
        if (window.connected() && read && stop) {
            std::vector<std::chrono::steady_clock::time_point> starts;
            std::vector<std::size_t> passBytes;
            std::size_t bytes = 0;
            // Beyond the wire and the sleeps, where the time goes: waiting for answers (from
            // a request to its response) and between them (a response to the next request).
            std::vector<double> inTransactions;
            std::vector<double> between;
            std::chrono::steady_clock::time_point last{};
            double transactions = 0;
            double gaps = 0;
            std::size_t requestBytes = 0;
            const std::size_t wanted = std::size_t(passes + kWarmUpPasses + 1);
            window.link().setTrace(
                [&](TraceDirection direction, std::span<const std::uint8_t> frame) {
                    if (direction == TraceDirection::Skipped)
                        return;
                    const bool request = direction == TraceDirection::Request && frame.size() > 6 &&
                                         frame[5] == 0x0A && frame[6] == 0x10;
                    const auto now = std::chrono::steady_clock::now();
                    if (last != std::chrono::steady_clock::time_point{}) {
                        const double spent = Millis(now - last).count();
                        if (direction == TraceDirection::Response)
                            transactions +=
                                spent -
                                Millis(sim::kByteTime * long(requestBytes + frame.size())).count();
                        else // a pass's closing sleep comes before its next request for a card
                            gaps += spent - Millis(kCommandPause * (request ? 2 : 1)).count();
                    }
                    last = now;
                    if (direction == TraceDirection::Request)
                        requestBytes = frame.size();
                    if (request && starts.size() < wanted) {
                        inTransactions.push_back(transactions);
                        between.push_back(gaps);
                        transactions = 0;
                        gaps = 0;
                        starts.push_back(now);
                        passBytes.push_back(bytes);
                        bytes = 0;
                        if (starts.size() == wanted)
                            QTimer::singleShot(0, stop, &QPushButton::click);
                    }
                    bytes += frame.size();
                });
            const double cpuBefore = threadCpuMs();
            read->click(); // returns once the run has ended
            const double cpuPerPass = (threadCpuMs() - cpuBefore) / double(starts.size());

            std::vector<double> periods;
            std::vector<double> floors;
            for (std::size_t i = kWarmUpPasses + 1; i < starts.size(); ++i) {
                periods.push_back(Millis(starts[i] - starts[i - 1]).count());
                floors.push_back(Millis(kCommandPause * kSleepsPerPass +
                                        sim::kByteTime * static_cast<long>(passBytes[i]))
                                     .count());
            }
            if (!periods.empty()) {
                const double period = median(periods);
                const double floor = median(floors);
                std::printf(
                    "window_pass_period ISO14443A median_ms %.3f floor_ms %.3f ratio "
                    "%.4f passes %zu beyond_wire_ms %.3f beyond_sleeps_ms %.3f "
                    "cpu_ms_per_pass %.3f\n",
                    period, floor, period / floor, periods.size(),
                    median({inTransactions.begin() + kWarmUpPasses + 1, inTransactions.end()}),
                    median({between.begin() + kWarmUpPasses + 1, between.end()}), cpuPerPass);
                status = 0;
            }
        } else {
            std::fprintf(stderr, "the window could not connect to the simulated reader\n");
        }
        window.close();
    }
    return status;
}
