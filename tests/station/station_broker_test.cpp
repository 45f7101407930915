// SPDX-License-Identifier: GPL-3.0-or-later
// The station against Debian's mosquitto: what a subscriber receives, through outages of the
// broker and a station killed with -9.
#include "child_process.h"
#include "event_json_read.h"
#include "mqtt_broker.h"
#include "private_dir.h"
#include "station.h"
#include "text_files.h"
#include "text_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qn480::station {
namespace {

using namespace std::chrono_literals;
using qn480::testing::MqttBroker;
using qn480::testing::MqttMessage;
using qn480::testing::MqttSubscriber;

constexpr const char *kReader = "gate-1";
constexpr const char *kUser = "line3";
constexpr const char *kPassword = "Tr0ub4dor&3";

// The UID of card n.
std::string uidOf(int card)
{
    char uid[16];
    std::snprintf(uid, sizeof uid, "04A1B2%08X", card);
    return uid;
}

// Event n: card n/2 comes (n even) and goes (n odd), so the cards on the reader change.
EventRecord eventNumber(int n, EventTime time = std::chrono::floor<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now()))
{
    EventRecord event;
    event.time = time;
    event.kind = n % 2 == 0 ? PresenceKind::Present : PresenceKind::Removed;
    TypeACard card;
    card.uid = *hexBytes(uidOf(n / 2));
    card.atqa = {0x44, 0x00};
    card.sak = 0x08;
    card.type = "Mifare Classic 1K";
    event.card = card;
    return event;
}

std::uint64_t seqOf(const std::string &payload)
{
    const std::size_t at = payload.find("\"seq\":");
    return at == std::string::npos ? 0 : std::stoull(payload.substr(at + 6));
}

struct Scenario
{
    const char *name;
    int before = 0;       // events while the broker is up
    int duringOutage = 0; // events while it is stopped
    int after = 0;        // events once it is back
    bool killed = false;  // the first station is killed with -9 after `before` events
    bool password = false;
    bool haDiscovery = false;
    std::size_t capacity = Spool::kDefaultCapacity;
    // An outage this long, with a --uid-max-age shorter: its events are replays.
    std::chrono::milliseconds outage{0};
    // A second station for the same reader comes and goes after `before` events.
    bool secondStation = false;
};

// As poll hands its options over; the password comes from QN480_MQTT_PASSWORD.
StationConfig brokerConfig(const std::string &spool, int port, bool password = false,
                           bool haDiscovery = false)
{
    StationOptions options;
    options.url = (password ? std::string("mqtt://") + kUser + "@" : std::string("mqtt://")) +
                  "127.0.0.1:" + std::to_string(port) + "/plant";
    options.reader = kReader;
    options.spool = spool;
    options.haDiscovery = haDiscovery;
    return stationConfig(options, "/dev/ttyUSB9", "1.0");
}

class StationBroker : public ::testing::TestWithParam<Scenario>
{
protected:
    void SetUp() override
    {
        if (MqttBroker::program().empty())
            GTEST_SKIP() << "mosquitto is not installed (Debian: mosquitto)";
    }

    StationConfig configFor(const std::string &spool, int port)
    {
        const Scenario &s = GetParam();
        StationConfig config = brokerConfig(spool, port, s.password, s.haDiscovery);
        config.spoolCapacity = s.capacity;
        if (s.outage > 0ms)
            config.uidMaxAge = s.outage * 2 / 3;
        config.firstRetry = 100ms;
        config.lastRetry = 1s;
        config.say = [this](const std::string &line) {
            std::lock_guard lock(m_sayMutex);
            m_said += line + "\n";
        };
        return config;
    }

    std::string said()
    {
        std::lock_guard lock(m_sayMutex);
        return m_said;
    }

    std::mutex m_sayMutex;
    std::string m_said;
};

// The station's process as kill -9 finds it: it tells the parent when half of its events are
// handed over and goes on handing over the rest, so that the kill comes amid appends and
// publishes, with events waiting in the spool.
pid_t stationToKill(const StationConfig &config, int events, int readyFd)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    StationConfig quiet = config;
    quiet.say = [](const std::string &) {
    };
    Station station(quiet);
    // Connected first, so that the broker holds its will.
    for (int i = 0; i < 1000 && !station.counters().connected; ++i)
        std::this_thread::sleep_for(10ms);
    for (int n = 1; n <= events; ++n) {
        station.publish(eventNumber(n));
        if (n == events / 2) {
            const char ready = 'r';
            [[maybe_unused]] const ssize_t written = ::write(readyFd, &ready, 1);
        }
    }
    for (;;)
        ::pause();
}

TEST_P(StationBroker, EveryEventArrivesInOrderWithItsSeq)
{
    const Scenario &s = GetParam();
    qn480::testing::PrivateDir dir("qn480-station");
    std::filesystem::create_directory(dir.path() / "broker");
    MqttBroker broker(dir / "broker", s.password ? kUser : "", s.password ? kPassword : "");
    if (s.password)
        ::setenv(kPasswordVariable, kPassword, 1);
    else
        ::unsetenv(kPasswordVariable);
    broker.start();
    const std::string base = std::string("plant/") + kReader + "/";
    const auto subscriber = [&](bool persistent) {
        return std::make_unique<MqttSubscriber>(
            broker.port(), std::vector<std::string>{"plant/#", "homeassistant/#"}, persistent,
            s.password ? kUser : "", s.password ? kPassword : "");
    };
    const auto watcher = subscriber(true);
    ASSERT_TRUE(watcher->waitSubscribed());
    const StationConfig config = configFor(dir / "spool", broker.port());
    const std::string spoolId = Spool(config.spoolDir).id();
    int total = s.before + s.duringOutage + s.after;
    // The last event and the uid of the last card that came, which the station sends after it.
    const auto eventsSeen = [&](int last) {
        const std::string lastUid = uidOf(last / 2);
        return [&, last, lastUid](const std::vector<MqttMessage> &messages) {
            const auto seen = [&](const std::string &topic, const auto &match) {
                return std::any_of(messages.begin(), messages.end(), [&](const MqttMessage &m) {
                    return m.topic == topic && match(m.payload);
                });
            };
            return seen(base + "event",
                        [&](const std::string &p) { return seqOf(p) == std::uint64_t(last); }) &&
                   seen(base + "uid", [&](const std::string &p) { return p == lastUid; });
        };
    };

    std::unique_ptr<Station> station;
    if (s.killed) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = stationToKill(config, s.before, ready[1]);
        char byte = 0;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        // What the killed run handed over is what must arrive.
        total = static_cast<int>(Spool(config.spoolDir).nextSeq() - 1);
        EXPECT_GE(total, s.before / 2);
        station = std::make_unique<Station>(config);
    } else {
        station = std::make_unique<Station>(config);
        for (int n = 1; n <= s.before; ++n)
            station->publish(eventNumber(n));
        ASSERT_TRUE(station->waitUntilSent(30s));
    }
    if (s.secondStation) {
        // The broker closes one connection of the client id for the other: told, naming the
        // reader, and no longer retried at once.
        Station second(configFor(dir / "spool2", broker.port()));
        const std::string told = "(client id qn480-gate-1) has probably taken it over; retrying in";
        for (int i = 0; i < 1000 && said().find(told) == std::string::npos; ++i)
            std::this_thread::sleep_for(10ms);
        EXPECT_NE(said().find("the reader gate-1 soon after it is made: " +
                              std::string("another station with the same reader name ") + told),
                  std::string::npos)
            << said();
    }
    if (s.duringOutage > 0) {
        broker.stop();
        for (int n = s.before + 1; n <= s.before + s.duringOutage; ++n)
            station->publish(eventNumber(n));
        std::this_thread::sleep_for(s.outage);
        broker.start();
        for (int i = 0; s.outage > 0ms && i < 1000 && !station->counters().connected; ++i)
            std::this_thread::sleep_for(10ms);
    }
    for (int n = s.before + s.duringOutage + 1; n <= total; ++n)
        station->publish(eventNumber(n));
    ASSERT_TRUE(station->waitUntilSent(60s)) << said();
    ASSERT_TRUE(watcher->waitFor(eventsSeen(total))) << said();

    // In order, each seq once; a second copy (as QoS 1 allows) comes with the same seq.
    const std::uint64_t dropped = total > static_cast<int>(s.capacity) ? total - s.capacity : 0;
    // Sent after the long outage, the events of the outage are marked and kept from uid.
    const auto replayed = [&](std::uint64_t seq) {
        return s.outage > 0ms && seq > std::uint64_t(s.before) &&
               seq <= std::uint64_t(s.before + s.duringOutage);
    };
    std::vector<std::uint64_t> seqs;
    std::set<std::uint64_t> seen;
    std::size_t duplicates = 0;
    std::string lastPayload;
    for (const std::string &payload : watcher->payloads(base + "event")) {
        const std::uint64_t seq = seqOf(payload);
        if (!seen.insert(seq).second) {
            ++duplicates;
            continue;
        }
        seqs.push_back(seq);
        // The record as given, with the time it was published at, then the reader, the spool
        // and the seq.
        const auto published = eventFromJson(nlohmann::ordered_json::parse(payload));
        ASSERT_TRUE(published) << payload;
        std::string record = eventJsonLine(eventNumber(static_cast<int>(seq), published->time));
        record.pop_back();
        EXPECT_EQ(payload, record + ",\"reader\":\"gate-1\",\"spool\":\"" + spoolId +
                               "\",\"seq\":" + std::to_string(seq) +
                               (replayed(seq) ? ",\"replayed\":true}" : "}"));
        if (seq == static_cast<std::uint64_t>(total))
            lastPayload = payload;
    }
    std::vector<std::uint64_t> expected;
    for (std::uint64_t seq = dropped + 1; seq <= static_cast<std::uint64_t>(total); ++seq)
        expected.push_back(seq);
    EXPECT_EQ(seqs, expected);
    std::cout << s.name << ": events " << total << ", dropped " << dropped << ", received "
              << seqs.size() + duplicates << ", duplicates " << duplicates
              << ", acknowledged to the last run " << station->counters().acknowledged << std::endl;

    std::vector<std::string> uids;
    for (const std::string &uid : watcher->payloads(base + "uid")) {
        if (std::find(uids.begin(), uids.end(), uid) == uids.end())
            uids.push_back(uid);
    }
    std::vector<std::string> expectedUids;
    for (std::uint64_t seq : expected) {
        if (seq % 2 == 0 && !replayed(seq))
            expectedUids.push_back(uidOf(static_cast<int>(seq) / 2));
    }
    EXPECT_EQ(uids, expectedUids);

    if (s.killed) {
        // The will, then the new run (which may have had nothing left to send).
        const auto offlineThenOnline = [&](const std::vector<MqttMessage> &messages) {
            const auto status = [&](const char *text) {
                return [&, text](const MqttMessage &m) {
                    return m.topic == base + "status" && m.payload == text;
                };
            };
            const auto offline = std::find_if(messages.begin(), messages.end(), status("offline"));
            return offline != messages.end() &&
                   std::find_if(offline, messages.end(), status("online")) != messages.end();
        };
        EXPECT_TRUE(watcher->waitFor(offlineThenOnline, 10s))
            << ::testing::PrintToString(watcher->payloads(base + "status"));
    }
    if (dropped != 0) {
        EXPECT_NE(said().find("spool full (" + std::to_string(s.capacity) +
                              " events): the oldest are dropped"),
                  std::string::npos)
            << said();
    }
    EXPECT_EQ(said().find(kPassword), std::string::npos);
    if (s.duringOutage > 0 && s.before > 0) {
        // One line per change: lost, then (the same refusal said once) connected again.
        const std::string lines = said();
        const std::size_t lost = lines.find("mqtt: connection to mqtt://127.0.0.1:");
        EXPECT_NE(lost, std::string::npos) << lines;
        EXPECT_NE(lines.find(" lost (", lost), std::string::npos) << lines;
        EXPECT_NE(lines.find("mqtt: connected to", lost), std::string::npos) << lines;
        std::size_t refusals = 0;
        for (std::size_t at = 0; (at = lines.find("cannot connect", at)) != std::string::npos; ++at)
            ++refusals;
        EXPECT_LE(refusals, 1u) << lines;
    }
    EXPECT_EQ(station->counters().dropped, dropped);

    // What a subscriber that comes now finds retained.
    const std::string online = dropped ? "online dropped=" + std::to_string(dropped) : "online";
    std::string cards = "[";
    // The last card came and has not gone. A new run knows no card until its reader has
    // made a pass.
    if (total % 2 == 0 && !s.killed)
        cards += lastPayload;
    cards += "]";
    std::vector<std::pair<std::string, std::string>> retained = {{base + "status", online},
                                                                 {base + "cards", cards}};
    const std::string device = "\"device\":{\"identifiers\":[\"qn480_gate-1\"],\"name\":\"QN480 "
                               "gate-1\",\"model\":\"QN480\",\"sw_version\":\"1.0\"}";
    if (s.haDiscovery) {
        retained.emplace_back(std::string("homeassistant/tag/") + kReader + "/config",
                              "{\"topic\":\"plant/gate-1/uid\"," + device + "}");
        // The sensors, available while the status says online.
        const std::string availability =
            "\"availability_topic\":\"plant/gate-1/status\",\"availability_template\":\"{{ "
            "value.split(' ')[0] }}\",\"payload_available\":\"online\",\"payload_not_"
            "available\":\"offline\",";
        retained.emplace_back("homeassistant/sensor/gate-1_last_card/config",
                              "{\"name\":\"Last card\",\"unique_id\":\"qn480_gate-1_last_card\"," +
                                  availability + device +
                                  ",\"state_topic\":\"plant/gate-1/uid\",\"icon\":\"mdi:card-"
                                  "account-details\"}");
        retained.emplace_back(
            "homeassistant/sensor/gate-1_spool_depth/config",
            "{\"name\":\"Spool depth\",\"unique_id\":\"qn480_gate-1_spool_depth\"," + availability +
                device +
                ",\"state_topic\":\"plant/gate-1/diagnostics\",\"value_template\":\"{{ "
                "value_json.waiting }}\",\"unit_of_measurement\":\"events\",\"state_class\":"
                "\"measurement\",\"entity_category\":\"diagnostic\"}");
    }
    // Diagnostics, once the last event is in: nothing waits, and the drops are counted.
    const std::string diagnostics = "{\"waiting\":0,\"oldest_waiting\":null,\"oldest_age_s\":null,"
                                    "\"dropped\":" +
                                    std::to_string(dropped) + ",\"refused\":0,\"last_error\":";
    const auto holdsRetained = [&](const std::vector<MqttMessage> &messages) {
        const auto last = std::find_if(messages.rbegin(), messages.rend(), [&](const auto &m) {
            return m.topic == base + "diagnostics";
        });
        return last != messages.rend() && last->payload.starts_with(diagnostics) &&
               last->payload.ends_with(",\"version\":\"1.0\"}") &&
               std::all_of(retained.begin(), retained.end(), [&](const auto &want) {
                   return std::any_of(messages.begin(), messages.end(), [&](const MqttMessage &m) {
                       return m.retained && m.topic == want.first && m.payload == want.second;
                   });
               });
    };
    {
        const auto late = subscriber(false);
        EXPECT_TRUE(late->waitFor(holdsRetained, 10s))
            << ::testing::PrintToString(late->payloads(base + "status"))
            << ::testing::PrintToString(late->payloads(base + "cards"));
    }

    // A run that ends with a card on the reader records its removal: the retained cards are
    // none, then offline.
    if (total % 2 == 0 && !s.killed)
        station->publish(eventNumber(total + 1));
    station->close();
    retained[0].second = dropped ? "offline dropped=" + std::to_string(dropped) : "offline";
    retained[1].second = "[]";
    const auto afterClose = subscriber(false);
    EXPECT_TRUE(afterClose->waitFor(holdsRetained, 10s))
        << ::testing::PrintToString(afterClose->payloads(base + "status"));
}

// A spool that fails inside the broker's acknowledgement (its state cannot be written) must
// not unwind through libmosquitto: the station stops, says why, and closes.
TEST(StationFailure, ASpoolFailingInsideTheAcknowledgementStopsTheStation)
{
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed (Debian: mosquitto)";
    qn480::testing::PrivateDir dir("qn480-station");
    MqttBroker broker(dir.path().string());
    ::unsetenv(kPasswordVariable);
    broker.start();
    const StationConfig config = brokerConfig(dir / "spool", broker.port());
    Station station(config);
    for (int i = 0; i < 1000 && !station.counters().connected; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(station.counters().connected);
    // The state file's descriptor turns read-only under the spool, as a failing disk would.
    const std::filesystem::path state = config.spoolDir / "state";
    int stateFd = -1;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == state)
            stateFd = std::stoi(entry.path().filename().string());
    }
    ASSERT_GE(stateFd, 0);
    const int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(::dup2(readOnly, stateFd), 0);
    ::close(readOnly);
    station.publish(eventNumber(2));
    for (int i = 0; i < 1000 && !station.failed(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(station.failed());
    EXPECT_NE(station.failure().find("the spool failed: cannot write " + state.string()),
              std::string::npos)
        << station.failure();
    station.close(100ms);
}

#ifdef QN480CTL_PATH
// qn480ctl polling the simulator for one card, as a script runs it.
struct OneShot
{
    const char *name;
    const char *user = kUser;
    const char *password = kPassword;
    bool brokerUp = true;
    int code = 0;
    const char *said = "";    // a line on stderr holds this
    bool waiting = false;     // an event of an earlier run waits in the spool: it may end first
    bool sentLater = false;   // a later run as a user the broker takes sends it
    const char *ca = nullptr; // mqtts, with this as the CA file
    const char *brokerConfig = "";
};

class StationPoll : public ::testing::TestWithParam<OneShot>
{};

// The whole way: the card event on stdout, in the log file, to the action and the broker, as
// the same record. An event the broker does not take stays in the spool, is said, and sets
// the exit code; the next run sends it first.
TEST_P(StationPoll, OneEventReachesStdoutTheLogTheActionAndTheBroker)
{
    const OneShot &o = GetParam();
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed";
    qn480::testing::PrivateDir dir("qn480-station-poll");
    // eve may say that her reader is online, and nothing else.
    MqttBroker broker(dir.path().string(), kUser, kPassword,
                      "user line3\ntopic readwrite #\nuser eve\ntopic write plant/+/status\n",
                      o.brokerConfig);
    broker.addUser("eve", kPassword);
    std::unique_ptr<MqttSubscriber> subscriber;
    if (o.brokerUp) {
        broker.start();
        subscriber = std::make_unique<MqttSubscriber>(
            broker.port(), std::vector<std::string>{"plant/#"}, false, kUser, kPassword);
        ASSERT_TRUE(subscriber->waitSubscribed());
    }

    const std::string reader = (dir.path() / "reader").string();
    qn480::testing::ChildProcess sim(QN480_SIM_PATH, {"--link", reader});
    ASSERT_FALSE(
        sim.waitForLineContaining(qn480::testing::ChildProcess::Out, "QN480_PORTS=").empty());
    const std::string log = (dir.path() / "cards.jsonl").string();
    const std::string action = (dir.path() / "action.txt").string();
    const std::string spool = (dir.path() / "spool").string();
    const auto pollAs = [&](const std::string &user, const std::string &password) {
        const std::string passwordFile = (dir.path() / "password").string();
        std::ofstream(passwordFile) << password << "\n";
        std::vector<std::string> args = {"-d", reader, "poll", "14a", "-n", "1", "--json"};
        const std::string url = "://" + user + "@127.0.0.1:" + std::to_string(broker.port());
        args.insert(args.end(), {"--mqtt", (o.ca ? "mqtts" : "mqtt") + url + "/plant"});
        if (o.ca) {
            std::ofstream(dir / "ca.pem") << o.ca;
            args.insert(args.end(), {"--mqtt-ca", dir / "ca.pem"});
        }
        args.insert(args.end(),
                    {"--mqtt-password-file", passwordFile, "--reader", "r1", "--spool", spool,
                     "--delivery-timeout", "1", "--log", log, "--on-present",
                     "printf %s \"$QN480_UID\" > '" + action + "'", "--uid-form", "dec10"});
        return qn480::testing::runToEnd(QN480CTL_PATH, args);
    };
    SpooledEvent earlier{.uid = "04A1B2C3", .payload = R"({"event":"present","seq":1})"};
    if (o.waiting)
        Spool(spool).append(earlier);
    const auto ctl = pollAs(o.user, o.password);
    ASSERT_EQ(ctl.code, o.code) << ctl.err;
    EXPECT_NE(ctl.err.find(o.said), std::string::npos) << ctl.err;
    EXPECT_EQ(ctl.err.find(kPassword), std::string::npos) << ctl.err;
    if (o.code == 2)
        return; // refused at start
    if (o.waiting) {
        // Kept, whatever the run could read before it ended.
        ASSERT_FALSE(Spool(spool).pending().empty());
        EXPECT_EQ(Spool(spool).pending().front().payload, earlier.payload);
        return;
    }

    // The simulator's Type A card: 12 34 56 78, a MIFARE Classic 1K.
    ASSERT_EQ(ctl.outLines().size(), 1u) << ctl.out;
    const std::string line = ctl.outLines()[0];
    const std::string record = line.substr(0, line.find(",\"forms\":"));
    EXPECT_EQ(record.substr(0, 50), R"({"interface":"14a","uid":"0000000078563412","atqa")");
    EXPECT_NE(line.find(R"("dec10":"0305419896")"), std::string::npos) << line;

    EXPECT_TRUE(qn480::testing::readFile(log).starts_with(record + ",\"seq\":1}\n"));
    EXPECT_EQ(qn480::testing::readFile(action), "0305419896");

    if (o.code != 0) {
        // Kept for the next run, which (as a user the broker takes) sends it first.
        ASSERT_FALSE(Spool(spool).pending().empty());
        EXPECT_EQ(Spool(spool).pending().front().seq, 1u);
        if (!o.sentLater)
            return;
        const auto again = pollAs(kUser, kPassword);
        ASSERT_EQ(again.code, 0) << again.err;
    }
    // An event, then the offline of the run that sent it.
    ASSERT_TRUE(subscriber->waitFor([](const std::vector<MqttMessage> &messages) {
        const auto event = std::find_if(messages.begin(), messages.end(), [](const MqttMessage &m) {
            return m.topic == "plant/r1/event";
        });
        return std::any_of(event, messages.end(), [](const MqttMessage &m) {
            return m.topic == "plant/r1/status" && m.payload == "offline";
        });
    }));
    const auto events = subscriber->payloads("plant/r1/event");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].substr(0, record.size() - 1), record.substr(0, record.size() - 1));
    EXPECT_EQ(seqOf(events[0]), 1u);
    if (o.code == 0) {
        EXPECT_EQ(subscriber->payloads("plant/r1/uid"), std::vector<std::string>{"12345678"});
        // The card still on the reader leaves with the run, off stdout but to the broker.
        ASSERT_EQ(events.size(), 2u);
        EXPECT_NE(events[1].find(R"("event":"removed","cause":"stopped")"), std::string::npos)
            << events[1];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Station, StationPoll,
    ::testing::Values(OneShot{.name = "Delivered"},
                      OneShot{.name = "AclRefusesThePublish",
                              .user = "eve",
                              .code = 5,
                              .said = "a publish to plant/r1/event is refused (Not authorized)",
                              .sentLater = true},
                      // libmosquitto refuses a packet larger than the broker takes.
                      OneShot{.name = "EventTooLargeForTheBroker",
                              .code = 5,
                              .said = "a publish to plant/r1/event is refused (libmosquitto: "
                                      "Packet larger than supported by the server)",
                              .brokerConfig = "max_packet_size 120\n"},
                      OneShot{.name = "PasswordRefused",
                              .password = "wrong",
                              .code = 1,
                              .said = "refuses the user line3 (Not authorized); 1 event waits",
                              .waiting = true},
                      OneShot{.name = "CaFileThatHoldsNoCertificate",
                              .code = 2,
                              .said = "ca.pem cannot be used: no certificate or crl found",
                              .ca = "not a certificate\n"},
                      OneShot{.name = "BrokerAway",
                              .brokerUp = false,
                              .code = 5,
                              .said = " out on the next run"}),
    [](const auto &param) { return std::string(param.param.name); });
#endif

INSTANTIATE_TEST_SUITE_P(
    Station, StationBroker,
    ::testing::Values(Scenario{.name = "EventsAndRetainedTopics", .before = 5, .haDiscovery = true},
                      Scenario{.name = "BrokerStoppedWhileCardsComeAndGo",
                               .before = 6,
                               .duringOutage = 30,
                               .after = 5},
                      Scenario{.name = "KilledAndRestarted", .before = 200, .killed = true},
                      Scenario{.name = "PasswordFromTheEnvironment", .before = 3, .password = true},
                      Scenario{.name = "SpoolOverflow", .duringOutage = 12, .capacity = 5},
                      Scenario{.name = "ReplayAfterAnOutageLongerThanUidMaxAge",
                               .before = 2,
                               .duringOutage = 4,
                               .after = 2,
                               .outage = 1500ms},
                      Scenario{.name = "SecondStationForTheSameReader",
                               .before = 3,
                               .after = 3,
                               .secondStation = true}),
    [](const auto &param) { return std::string(param.param.name); });

} // namespace
} // namespace qn480::station
