// SPDX-License-Identifier: GPL-3.0-or-later
// What one card event costs: its JSON line; its line appended to the card log (one write
// and fdatasync, on the disk the log folder lies on), which the writer's thread pays; and
// what the polling thread pays, the queueing of the line and of the action. A pass takes tens of
// milliseconds; these are paid once per arrival or removal, not per pass.
//
//   qn480_bench_events [--log-dir DIR] [Google Benchmark options]   (default: the temp folder)

#include "actions.h"
#include "card_log.h"
#include "event_record.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using namespace qn480;

std::filesystem::path g_logDir = std::filesystem::temp_directory_path();

EventRecord sampleEvent()
{
    EventSequence run;
    return run.next({PresenceKind::Present, TypeACard{{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6},
                                                      {0x44, 0x00},
                                                      0x00,
                                                      {},
                                                      {},
                                                      "Mifare Ultralight"}});
}

void jsonLine(benchmark::State &state)
{
    const EventRecord event = sampleEvent();
    for (auto _ : state)
        benchmark::DoNotOptimize(eventJsonLine(event, {.seq = true}));
}
BENCHMARK(jsonLine);

void logAppend(benchmark::State &state)
{
    const std::filesystem::path path =
        g_logDir / ("qn480-bench-" + std::to_string(::getpid()) + ".jsonl");
    const EventRecord event = sampleEvent();
    {
        CardLogFile log(path);
        for (auto _ : state) {
            if (!log.append(event).ok()) {
                state.SkipWithError("the log could not be written");
                break;
            }
        }
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}
BENCHMARK(logAppend)->Unit(benchmark::kMicrosecond);

// The poller's share of a log line: queueing it for the writer's thread.
void logQueue(benchmark::State &state)
{
    const std::filesystem::path path =
        g_logDir / ("qn480-bench-queue-" + std::to_string(::getpid()) + ".jsonl");
    const EventRecord event = sampleEvent();
    {
        CardLogWriter log(path, {});
        for (auto _ : state)
            log.append(event);
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}
BENCHMARK(logQueue)->Iterations(2000);

// The poller's share of an action: queueing it. The action itself runs on the worker.
void actionPost(benchmark::State &state)
{
    const EventRecord event = sampleEvent();
    ActionRunner runner({.onPresent = "true", .queueLimit = 1 << 20}, {});
    for (auto _ : state)
        runner.post(event);
    runner.abandon();
}
BENCHMARK(actionPost)->Iterations(2000);

} // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--log-dir")
            g_logDir = argv[i + 1];
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
