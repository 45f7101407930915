// SPDX-License-Identifier: GPL-3.0-or-later
// The station's part of card-to-subscriber latency: 1, 4 and 16 stations in this process,
// each with a spool of its own, publish an event every 250 ms to one local mosquitto; a
// subscriber takes them all. Latency runs from publish() (the poll's hand-over: spool write
// and fdatasync included) to the subscriber's receipt, as p50 and p99; CPU is this process's
// (stations and subscriber) per reader. The reader and its poll are not in it: with
// qn480ctl poll --mqtt, the whole figure is this plus the pass that found the card.
// Usage: qn480_bench_station [SECONDS per run, default 10]

#include "mqtt_broker.h"
#include "private_dir.h"
#include "station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kCardInterval = 250ms;

std::chrono::microseconds cpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// The moment of publish() travels in the record.
long long sentAt(const std::string &payload)
{
    const std::size_t at = payload.find("\"sent_ns\":");
    return at == std::string::npos ? 0 : std::atoll(payload.c_str() + at + 10);
}

} // namespace

int main(int argc, char **argv)
{
    using namespace qn480;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (testing::MqttBroker::program().empty()) {
        std::fprintf(stderr, "mosquitto is not installed (Debian: mosquitto)\n");
        return 1;
    }
    testing::PrivateDir dir("qn480-bench-station");
    testing::MqttBroker broker(dir.path().string());
    broker.start();

    for (const int readers : {1, 4, 16}) {
        testing::MqttSubscriber subscriber(broker.port(),
                                           {"bench" + std::to_string(readers) + "/#"}, false);
        subscriber.waitSubscribed();
        std::vector<std::unique_ptr<station::Station>> stations;
        for (int r = 0; r < readers; ++r) {
            station::StationOptions options;
            options.url = "mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/bench" +
                          std::to_string(readers);
            options.reader = "r" + std::to_string(r);
            options.spool = dir / ("spool-" + std::to_string(readers) + "-" + std::to_string(r));
            station::StationConfig config = station::stationConfig(options, "/dev/null", "bench");
            config.say = [](const std::string &) {
            };
            stations.push_back(std::make_unique<station::Station>(config));
        }
        std::this_thread::sleep_for(500ms); // connected, status and cards out of the way

        // Each reader's thread: a card every 250 ms, the readers spread over the interval.
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        std::vector<std::vector<double>> handOvers(static_cast<std::size_t>(readers));
        const auto cpuBefore = cpuTime();
        const auto start = Clock::now();
        for (int r = 0; r < readers; ++r) {
            threads.emplace_back([&, r] {
                std::this_thread::sleep_for(kCardInterval * r / readers);
                for (int n = 0; !stop; ++n) {
                    station::StationEvent event;
                    event.uid = "04A1B2C3D4E5" + std::to_string(n % 100);
                    event.time = std::chrono::system_clock::now();
                    event.record =
                        "{\"interface\":\"14a\",\"nfcid\":\"" + event.uid +
                        "\",\"event\":\"present\",\"sent_ns\":" + std::to_string(nowNs()) + "}";
                    const auto before = Clock::now();
                    stations[static_cast<std::size_t>(r)]->publish(event);
                    handOvers[static_cast<std::size_t>(r)].push_back(
                        std::chrono::duration<double, std::milli>(Clock::now() - before).count());
                    std::this_thread::sleep_for(kCardInterval);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        stop = true;
        for (std::thread &t : threads)
            t.join();
        for (auto &s : stations)
            s->waitUntilSent(10s);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = std::chrono::duration<double>(cpuTime() - cpuBefore).count();
        std::this_thread::sleep_for(200ms);

        std::vector<double> latencies;
        for (const testing::MqttMessage &m : subscriber.messages()) {
            if (m.topic.ends_with("/event")) {
                const long long at = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         m.receivedAt.time_since_epoch())
                                         .count();
                latencies.push_back(static_cast<double>(at - sentAt(m.payload)) / 1e6);
            }
        }
        // publish() alone: the spool's write and fdatasync, what the poll waits for.
        std::vector<double> handOver;
        for (const auto &times : handOvers)
            handOver.insert(handOver.end(), times.begin(), times.end());
        const auto percentile = [](std::vector<double> values, double p) {
            std::sort(values.begin(), values.end());
            return values.empty() ? 0.0
                                  : values[std::min(values.size() - 1,
                                                    static_cast<std::size_t>(p * values.size()))];
        };
        std::printf("station readers %d events %zu p50_ms %.2f p99_ms %.2f cpu_per_reader_pct "
                    "%.3f handover_p50_ms %.2f handover_p99_ms %.2f\n",
                    readers, latencies.size(), percentile(latencies, 0.50),
                    percentile(latencies, 0.99), 100.0 * cpu / wall / readers,
                    percentile(handOver, 0.50), percentile(handOver, 0.99));
        std::fflush(stdout);
        for (auto &s : stations)
            s->close();
    }
    return 0;
}
