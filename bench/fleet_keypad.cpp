// SPDX-License-Identifier: GPL-3.0-or-later
// What serving keypad settings through the broker costs polling, and how fast a fleet follows
// its desired state:
//
// - "keypad_set_pause": the ISO14443A loop against qn480-sim's reader over a pty (responses
//   paced at 115200 baud), serving a set request (send_time flipped between 10 and 20: a read
//   of all six, one Set, a read of all six) between two passes every 20 passes, as the
//   station does. The pause is the time from the end of the pass before the request to the
//   end of the next one; printed: the longest and the median pause, and the median period
//   of the passes without a request.
// - "fleet_keypad": 16 qn480-sim readers (paced), each polled by its own `qn480ctl poll 14a
//   --mqtt --remote-keypad`, on one local mosquitto. From the retained PREFIX/fleet/keypad
//   publish (scan_time changed each round) to the last of the 16 "desired" answers ok with
//   the new value at a subscriber; printed: the median and the longest of the rounds.
//
// Usage: qn480_bench_fleet_keypad [ROUNDS, default 5]
#include "faults.h"
#include "link.h"
#include "mqtt_broker.h"
#include "private_dir.h"
#include "procedures.h"
#include "reader_model.h"
#include "remote_keypad.h"
#include "serial_port.h"
#include "sim_reader.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using namespace qn480;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::duration<double, std::milli>;
using namespace std::chrono_literals;

constexpr int kReaders = 16;
constexpr int kPassesBetweenSets = 20;
constexpr int kSets = 20;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

class PassTimes final : public CardObserver
{
public:
    PassTimes(StopToken &stop, Link &link, station::RemoteKeypad &remote)
        : m_stop(stop)
        , m_link(link)
        , m_remote(remote)
    {}
    void passEnded(const PassOutcome &) override
    {
        ends.push_back(Clock::now());
        served.push_back(m_remote.due());
        if (m_remote.due())
            m_remote.serve(m_link);
        if (ends.size() % kPassesBetweenSets == 0) {
            const int sendTime = (ends.size() / kPassesBetweenSets) % 2 == 0 ? 10 : 20;
            m_remote.received("plant/r1/keypad/request",
                              R"({"id":1,"op":"set","settings":{"send_time":)" +
                                  std::to_string(sendTime) + "}}",
                              std::nullopt, std::nullopt);
        }
        if (ends.size() >= (kSets + 1) * kPassesBetweenSets)
            m_stop.requestStop();
    }
    std::vector<Clock::time_point> ends;
    std::vector<bool> served; // a request was served after this pass

private:
    StopToken &m_stop;
    Link &m_link;
    station::RemoteKeypad &m_remote;
};

bool setPause()
{
    soak::SimReader reader({.pace = 1.0});
    Link link;
    StopToken stop;
    station::RemoteKeypad remote("plant", "r1");
    PassTimes times(stop, link, remote);
    OpenFailure failure;
    const bool ok = OpenPort(link, reader.ports(), reader.kComNumber, kReaderSettings, &failure);
    if (ok) {
        runCardProcedure(CardProcedure::Iso14443A, link, stop, times);
        ClosePort(link);
    }
    if (!ok)
        return false;
    std::vector<double> pauses;
    std::vector<double> periods;
    for (std::size_t i = 2; i < times.ends.size(); ++i)
        (times.served[i - 1] ? pauses : periods)
            .push_back(Millis(times.ends[i] - times.ends[i - 1]).count());
    std::printf("keypad_set_pause longest_ms %.1f median_ms %.1f pass_ms %.1f sets %zu\n",
                pauses.empty() ? 0 : *std::max_element(pauses.begin(), pauses.end()),
                median(pauses), median(periods), pauses.size());
    return true;
}

pid_t spawn(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void publishRetained(int port, const std::string &topic, const std::string &payload)
{
    mosquitto *client = mosquitto_new(nullptr, true, nullptr);
    if (mosquitto_connect(client, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS) {
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, true);
        for (int i = 0; i < 5; ++i)
            mosquitto_loop(client, 2, 1);
        mosquitto_disconnect(client);
    }
    mosquitto_destroy(client);
}

bool fleet(int rounds)
{
    qn480::testing::PrivateDir dir("qn480-bench-fleet");
    qn480::testing::MqttBroker broker(dir.path().string());
    broker.start();
    qn480::testing::MqttSubscriber subscriber(broker.port(), {"plant/#"}, false);
    subscriber.waitSubscribed();
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port()) + "/plant";
    std::vector<pid_t> children;
    for (int i = 0; i < kReaders; ++i) {
        const std::string reader = "r" + std::to_string(i);
        const std::string link = (dir.path() / reader).string();
        children.push_back(spawn({QN480_SIM_PATH, "--link", link, "--pace", "1"}));
        for (int wait = 0; wait < 100 && ::access(link.c_str(), F_OK) != 0; ++wait)
            std::this_thread::sleep_for(20ms);
        children.push_back(
            spawn({QN480CTL_PATH, "-d", link, "poll", "14a", "--mqtt", url, "--remote-keypad",
                   "--reader", reader, "--spool", (dir.path() / ("spool-" + reader)).string()}));
    }
    const auto readersAnswered = [&](const std::string &leaf,
                                     const std::function<bool(const nlohmann::json &)> &good,
                                     std::size_t from) {
        return [&, leaf, from](const std::vector<qn480::testing::MqttMessage> &messages) {
            std::set<std::string> readers;
            for (std::size_t m = from; m < messages.size(); ++m) {
                const auto &message = messages[m];
                if (!message.topic.ends_with(leaf))
                    continue;
                const auto parsed = nlohmann::json::parse(message.payload, nullptr, false);
                if (!parsed.is_discarded() && good(parsed))
                    readers.insert(message.topic);
            }
            return readers.size() == static_cast<std::size_t>(kReaders);
        };
    };
    bool ok = subscriber.waitFor(readersAnswered(
                                     "/keypad", [](const nlohmann::json &) { return true; }, 0),
                                 60s);
    std::vector<double> times;
    for (int round = 1; ok && round <= rounds; ++round) {
        const int scanTime = 6 + round;
        const std::size_t from = subscriber.messages().size();
        const auto start = Clock::now();
        publishRetained(broker.port(), "plant/fleet/keypad",
                        R"({"scan_time":)" + std::to_string(scanTime) + "}");
        ok = subscriber.waitFor(readersAnswered(
                                    "/keypad/response",
                                    [&](const nlohmann::json &r) {
                                        return r["id"] == "desired" && r["status"] == "ok" &&
                                               r["to"]["scan_time"] == scanTime;
                                    },
                                    from),
                                30s);
        // The subscriber's receipt time of the last answer, not this thread's wake-up.
        Clock::time_point last = start;
        for (const auto &message : subscriber.messages())
            if (message.topic.ends_with("/keypad/response"))
                last = std::max(last, message.receivedAt);
        times.push_back(Millis(last - start).count());
    }
    for (const pid_t child : children) {
        if (child > 0)
            ::kill(child, SIGTERM);
    }
    for (const pid_t child : children) {
        if (child > 0)
            ::waitpid(child, nullptr, 0);
    }
    if (!ok) {
        std::fprintf(stderr, "not every reader answered\n");
        return false;
    }
    std::printf("fleet_keypad readers %d median_ms %.1f longest_ms %.1f rounds %zu\n", kReaders,
                median(times), *std::max_element(times.begin(), times.end()), times.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const bool paused = setPause();
    const bool followed = fleet(rounds);
    return paused && followed ? 0 : 1;
}
