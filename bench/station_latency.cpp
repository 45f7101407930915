// SPDX-License-Identifier: GPL-3.0-or-later
// Card-to-subscriber latency and CPU of a station of 1, 4 and 16 readers against one local
// mosquitto, two ways:
//
// - whole way ("station_poll" lines): each reader is a qn480-sim (responses paced at 115200
//   baud, its Type A card outside the field) polled by its own `qn480ctl poll 14a --mqtt`.
//   Each reader's card is placed through the simulator's standard input, the subscriber's
//   receipt of that reader's present event ends the time, and the card is removed and its
//   removed event awaited before the next placement; placements fall at a random point of
//   the pass, and the readers are staggered. CPU is each qn480ctl's own (utime + stime from
//   /proc) over wall time, averaged over the readers, while cards come and go and, first,
//   for 3 s with no card; the simulators are not counted. The pass period printed beside
//   it is the median of a short qn480_bench_pass_period run.
// - in-process ("station" lines): 1, 4 and 16 stations in this process, each with a spool of
//   its own, publish an event every 250 ms. Latency runs from publish() (the poll's
//   hand-over: spool write and fdatasync included) to the subscriber's receipt; CPU is this
//   process's (stations and subscriber) per reader. The reader and its poll are not in it.
//
// Usage: qn480_bench_station [SECONDS per run, default 10] [--poll | --in-process]
#include "mqtt_broker.h"
#include "private_dir.h"
#include "station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <cstring>
#include <mutex>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using namespace qn480;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kCardInterval = 250ms;
// Each qn480ctl's CPU with no card, before the placements.
constexpr auto kIdleTime = 3s;

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

// The event's seq, which its publish() returned.
std::uint64_t seqIn(const std::string &payload)
{
    const std::size_t at = payload.find("\"seq\":");
    return at == std::string::npos ? 0 : std::strtoull(payload.c_str() + at + 6, nullptr, 10);
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty()
               ? 0.0
               : values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// Stations in this process, from publish() to the subscriber.
void inProcess(const testing::PrivateDir &dir, const testing::MqttBroker &broker, int readers,
               double seconds)
{
    testing::MqttSubscriber subscriber(broker.port(), {"bench" + std::to_string(readers) + "/#"},
                                       false);
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
    // When each reader's publish() was called, by the seq it returned.
    std::vector<std::map<std::uint64_t, long long>> sentAt(static_cast<std::size_t>(readers));
    const auto cpuBefore = cpuTime();
    const auto start = Clock::now();
    for (int r = 0; r < readers; ++r) {
        threads.emplace_back([&, r] {
            std::this_thread::sleep_for(kCardInterval * r / readers);
            for (int n = 0; !stop; ++n) {
                EventRecord event;
                event.time =
                    std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
                TypeACard card;
                card.uid = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, static_cast<std::uint8_t>(n % 100)};
                card.atqa = {0x44, 0x00};
                card.sak = 0x08;
                card.type = "Mifare Classic 1K";
                event.card = card;
                const long long sent = nowNs();
                const auto before = Clock::now();
                const std::uint64_t seq = stations[static_cast<std::size_t>(r)]->publish(event);
                sentAt[static_cast<std::size_t>(r)][seq] = sent;
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
            // bench<readers>/r<reader>/event
            const std::size_t reader = std::stoul(m.topic.substr(m.topic.find("/r") + 2));
            const auto sent = sentAt[reader].find(seqIn(m.payload));
            if (sent == sentAt[reader].end())
                continue;
            const long long at = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     m.receivedAt.time_since_epoch())
                                     .count();
            latencies.push_back(static_cast<double>(at - sent->second) / 1e6);
        }
    }
    // publish() alone: the spool's write and fdatasync, what the poll waits for.
    std::vector<double> handOver;
    for (const auto &times : handOvers)
        handOver.insert(handOver.end(), times.begin(), times.end());
    std::printf("station readers %d events %zu p50_ms %.2f p99_ms %.2f cpu_per_reader_pct "
                "%.3f handover_p50_ms %.2f handover_p99_ms %.2f\n",
                readers, latencies.size(), percentile(latencies, 0.50), percentile(latencies, 0.99),
                100.0 * cpu / wall / readers, percentile(handOver, 0.50),
                percentile(handOver, 0.99));
    std::fflush(stdout);
    for (auto &s : stations)
        s->close();
}

// A program of the station, started with its standard input on a pipe (or /dev/null) and its
// output to a file, stopped and reaped at the end.
class Program
{
public:
    Program(const std::string &path, const std::vector<std::string> &args,
            const std::string &output, bool input)
    {
        int fds[2] = {-1, -1};
        if (input && ::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input)
            posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char *> argv{const_cast<char *>(path.c_str())};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        const int failed =
            posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (input) {
            ::close(fds[0]);
            m_input = fds[1];
        }
        if (failed != 0)
            throw std::runtime_error("cannot start " + path);
    }
    ~Program()
    {
        if (m_input >= 0)
            ::close(m_input);
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    void send(const std::string &line) const
    {
        [[maybe_unused]] const ssize_t written = ::write(m_input, line.data(), line.size());
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_input = -1;
};

// A process's own CPU time so far: utime + stime of /proc/PID/stat, in seconds.
double processCpu(pid_t pid)
{
    char buffer[1024] = {};
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t got = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    const std::string text(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
    // The command name may hold blanks and parentheses; the fields follow its last ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    // Fields 3 (state) to 13 come first; 14 and 15 are utime and stime.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n >= 14)
            ticks += std::atof(field.c_str());
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The Type A pass period against the paced simulator: the median of a short
// qn480_bench_pass_period run, or its floor (five 10 ms sleeps and the wire) without it.
double passPeriod()
{
    double period = 0;
    if (FILE *run = ::popen("'" QN480_BENCH_PASS_PERIOD_PATH "' 40 2>/dev/null", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, run)) {
            if (std::strncmp(line, "pass_period ISO14443A ", 22) == 0) {
                if (const char *at = std::strstr(line, "median_ms "))
                    period = std::atof(at + 10);
            }
        }
        ::pclose(run);
    }
    return period > 0 ? period : 58.0;
}

// Waits for the next `kind` event of `topic` in the subscriber's messages from `from` on; its
// receipt, or nothing after the time-out.
std::optional<Clock::time_point> nextEvent(testing::MqttSubscriber &subscriber,
                                           const std::string &topic, const char *kind,
                                           std::size_t &from)
{
    const std::string wanted = std::string("\"event\":\"") + kind + "\"";
    std::optional<Clock::time_point> at;
    subscriber.waitFor(
        [&](const std::vector<testing::MqttMessage> &messages) {
            for (; from < messages.size(); ++from) {
                const testing::MqttMessage &m = messages[from];
                if (m.topic == topic && m.payload.find(wanted) != std::string::npos) {
                    at = m.receivedAt;
                    ++from;
                    return true;
                }
            }
            return false;
        },
        5s);
    return at;
}

// Readers of a simulator and a qn480ctl each, from a card's placement to the subscriber.
bool wholeWay(const testing::PrivateDir &dir, const testing::MqttBroker &broker, int readers,
              double seconds, double period)
{
    const std::string prefix = "benchpoll" + std::to_string(readers);
    testing::MqttSubscriber subscriber(broker.port(), {prefix + "/#"}, false);
    subscriber.waitSubscribed();
    std::vector<std::unique_ptr<Program>> sims;
    std::vector<std::unique_ptr<Program>> polls;
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/" + prefix;
    for (int r = 0; r < readers; ++r) {
        const std::string name = prefix + "-r" + std::to_string(r);
        const std::string link = dir / (name + ".pty");
        sims.push_back(std::make_unique<Program>(
            QN480_SIM_PATH,
            std::vector<std::string>{"--link", link, "--card", "14a:out", "--pace", "1"},
            dir / (name + ".sim.log"), true));
        for (int i = 0; i < 500 && !std::filesystem::exists(link); ++i)
            std::this_thread::sleep_for(10ms);
        polls.push_back(std::make_unique<Program>(
            QN480CTL_PATH,
            std::vector<std::string>{"-d", link, "poll", "14a", "--mqtt", url, "--reader",
                                     "r" + std::to_string(r), "--spool", dir / (name + ".spool")},
            dir / (name + ".ctl.log"), false));
    }
    // Every reader connected (its retained status online) and polling.
    const bool online = subscriber.waitFor(
        [&](const std::vector<testing::MqttMessage> &messages) {
            return std::count_if(messages.begin(), messages.end(), [](const auto &m) {
                       return m.topic.ends_with("/status") && m.payload == "online";
                   }) >= readers;
        },
        30s);
    if (!online) {
        std::fprintf(stderr, "station_poll readers %d: not every reader came online (logs in %s)\n",
                     readers, dir.path().c_str());
        return false;
    }
    std::this_thread::sleep_for(500ms);

    // The polling loop alone first: no card on any reader.
    std::vector<double> cpuBefore;
    for (const auto &p : polls)
        cpuBefore.push_back(processCpu(p->pid()));
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(kIdleTime);
    double idleCpu = 0;
    for (std::size_t r = 0; r < polls.size(); ++r) {
        const double now = processCpu(polls[r]->pid());
        idleCpu += now - cpuBefore[r];
        cpuBefore[r] = now;
    }
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<double> latencies;
    int lost = 0;
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int r = 0; r < readers; ++r) {
        threads.emplace_back([&, r] {
            const Program &sim = *sims[static_cast<std::size_t>(r)];
            const std::string topic = prefix + "/r" + std::to_string(r) + "/event";
            std::mt19937 random(static_cast<unsigned>(r + 1));
            std::uniform_real_distribution<double> phase(0.0, period);
            std::size_t from = 0;
            // Readers spread over a pass, then each placement at a random point of one.
            std::this_thread::sleep_for(
                std::chrono::duration<double, std::milli>(period * r / readers));
            while (!stop) {
                std::this_thread::sleep_for(
                    std::chrono::duration<double, std::milli>(phase(random)));
                const auto placed = Clock::now();
                sim.send("place 1\n");
                const auto present = nextEvent(subscriber, topic, "present", from);
                sim.send("remove 1\n");
                const auto removed = nextEvent(subscriber, topic, "removed", from);
                std::lock_guard lock(mutex);
                if (present)
                    latencies.push_back(
                        std::chrono::duration<double, std::milli>(*present - placed).count());
                else
                    ++lost;
                if (!removed)
                    ++lost;
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    double cpu = 0;
    for (std::size_t r = 0; r < polls.size(); ++r)
        cpu += processCpu(polls[r]->pid()) - cpuBefore[r];
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    for (std::thread &t : threads)
        t.join();

    std::printf(
        "station_poll readers %d placements %zu p50_ms %.2f p99_ms %.2f "
        "cpu_per_reader_pct %.3f idle_cpu_per_reader_pct %.3f pass_period_ms %.2f missed %d\n",
        readers, latencies.size(), percentile(latencies, 0.50), percentile(latencies, 0.99),
        100.0 * cpu / wall / readers, 100.0 * idleCpu / idleWall / readers, period, lost);
    std::fflush(stdout);
    return lost == 0;
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 10.0;
    bool poll = true;
    bool local = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--poll") == 0)
            local = false;
        else if (std::strcmp(argv[i], "--in-process") == 0)
            poll = false;
        else
            seconds = std::atof(argv[i]);
    }
    if (testing::MqttBroker::program().empty()) {
        std::fprintf(stderr, "mosquitto is not installed (Debian: mosquitto)\n");
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    testing::PrivateDir dir("qn480-bench-station");
    testing::MqttBroker broker(dir.path().string());
    broker.start();

    bool ok = true;
    if (poll) {
        const double period = passPeriod();
        for (const int readers : {1, 4, 16})
            ok = wholeWay(dir, broker, readers, seconds, period) && ok;
    }
    if (local) {
        for (const int readers : {1, 4, 16})
            inProcess(dir, broker, readers, seconds);
    }
    return ok ? 0 : 1;
}
