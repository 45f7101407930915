// SPDX-License-Identifier: GPL-3.0-or-later
// Keypad settings through the broker: qn480ctl poll --remote-keypad on simulated readers,
// asked by KeypadClient and by qn480ctl keypad --mqtt, on Debian's mosquitto.
#include "child_process.h"
#include "keypad_client.h"
#include "mqtt_broker.h"
#include "private_dir.h"

#include <gtest/gtest.h>

#include <mosquitto.h>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

namespace qn480::station {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qn480::testing::ChildProcess;
using qn480::testing::MqttBroker;
using qn480::testing::MqttMessage;
using qn480::testing::MqttSubscriber;

constexpr const char *kPassword = "Tr0ub4dor&3";
const std::vector<std::string> kPasswordEnv{"QN480_MQTT_PASSWORD=" + std::string(kPassword)};
// The stations may read the fleet's state and their readers' topics; admin configures.
constexpr const char *kAcl =
    "user admin\ntopic readwrite #\n"
    "user station\ntopic readwrite plant/r1/#\ntopic readwrite plant/r2/#\n"
    "topic readwrite plant/remote/#\ntopic read plant/fleet/#\n";
// The same, without the fleet's topic.
constexpr const char *kAclWithoutFleet = "user admin\ntopic readwrite #\n"
                                         "user station\ntopic readwrite plant/r1/#\n";

// A broker, simulated readers and a station polling each of them.
class Plant
{
public:
    explicit Plant(const char *acl = kAcl)
        : m_broker(m_dir.path().string(), "admin", kPassword, acl)
    {
        m_broker.addUser("station", kPassword);
        m_broker.start();
        m_subscriber = std::make_unique<MqttSubscriber>(
            m_broker.port(), std::vector<std::string>{"plant/#"}, false, "admin", kPassword);
        EXPECT_TRUE(m_subscriber->waitSubscribed());
    }

    std::string url(const std::string &user) const
    {
        return "mqtt://" + user + "@127.0.0.1:" + std::to_string(m_broker.port()) + "/plant";
    }
    std::string link(const std::string &reader) const { return (m_dir.path() / reader).string(); }

    void plugIn(const std::string &reader, std::vector<std::string> simArgs = {})
    {
        simArgs.insert(simArgs.begin(), {"--link", link(reader)});
        m_sims[reader] = std::make_unique<ChildProcess>(QN480_SIM_PATH, simArgs);
        ASSERT_FALSE(
            m_sims[reader]->waitForLineContaining(ChildProcess::Out, "QN480_PORTS=").empty());
    }
    void unplug(const std::string &reader)
    {
        m_sims[reader]->signal(SIGTERM);
        m_sims[reader]->wait();
        m_sims.erase(reader);
    }

    // A station for `reader`; with the remote keypad, once it has published the settings.
    void startStation(const std::string &reader, bool remoteKeypad = true)
    {
        const std::string spool = m_dir / ("spool-" + reader);
        std::vector<std::string> args = {"-d",     link(reader), "poll",         "14a",
                                         "--wait", "--mqtt",     url("station"), "--reader",
                                         reader,   "--spool",    spool};
        if (remoteKeypad)
            args.push_back("--remote-keypad");
        m_stations[reader] = std::make_unique<ChildProcess>(QN480CTL_PATH, args, kPasswordEnv);
        const std::string ready = "plant/" + reader + (remoteKeypad ? "/keypad" : "/diagnostics");
        ASSERT_TRUE(waitFor(
            ready, [](const json &) { return true; }, 20s))
            << ready;
    }

    KeypadClient client(std::chrono::milliseconds timeout = 10s) const
    {
        KeypadClient::Settings settings;
        settings.login.broker = parseBrokerUrl(url("admin"));
        settings.login.password = kPassword;
        settings.timeout = timeout;
        return KeypadClient(settings);
    }

    // Publishes as the configuration role.
    void publishRetained(const std::string &topic, const std::string &payload)
    {
        mosquitto *client = mosquitto_new(nullptr, true, nullptr);
        mosquitto_username_pw_set(client, "admin", kPassword);
        ASSERT_EQ(mosquitto_connect(client, "127.0.0.1", m_broker.port(), 30), MOSQ_ERR_SUCCESS);
        mosquitto_publish(client, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, true);
        for (int i = 0; i < 20; ++i)
            mosquitto_loop(client, 20, 1);
        mosquitto_disconnect(client);
        mosquitto_destroy(client);
    }

    // Waits for a message on `topic` whose JSON satisfies `match`, after the first `skip`.
    bool waitFor(const std::string &topic, const std::function<bool(const json &)> &match,
                 std::chrono::milliseconds timeout = 20s, std::size_t skip = 0)
    {
        return m_subscriber->waitFor(
            [&](const std::vector<MqttMessage> &messages) {
                std::size_t seen = 0;
                for (const MqttMessage &m : messages) {
                    if (m.topic != topic || seen++ < skip)
                        continue;
                    const json parsed = json::parse(m.payload, nullptr, false);
                    if (!parsed.is_discarded() && match(parsed))
                        return true;
                }
                return false;
            },
            timeout);
    }
    std::size_t count(const std::string &topic) const
    {
        return m_subscriber->payloads(topic).size();
    }

private:
    qn480::testing::PrivateDir m_dir{"qn480-remote-keypad"};
    MqttBroker m_broker;
    std::unique_ptr<MqttSubscriber> m_subscriber;
    std::map<std::string, std::unique_ptr<ChildProcess>> m_sims;
    std::map<std::string, std::unique_ptr<ChildProcess>> m_stations;
};

struct RequestCase
{
    const char *name;
    const char *request;
    const char *status; // "": no answer at all
    const char *error = "";
    int sendTimeAfter = 10; // what a get finds afterwards
    const char *modeAfter = R"(["autoread","beep","led","samecard"])";
    bool remoteKeypad = true;
    bool whileDefaultsRun = false; // sent while a slowed reader writes its defaults
};

class RemoteKeypadRequest : public ::testing::TestWithParam<RequestCase>
{};

TEST_P(RemoteKeypadRequest, AnsweredWithTheSettingsReadBack)
{
    const RequestCase &c = GetParam();
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed";
    Plant plant;
    plant.plugIn("r1", c.whileDefaultsRun
                           ? std::vector<std::string>{"--delay", "1", "--delay-ms", "40"}
                           : std::vector<std::string>{});
    plant.startStation("r1", c.remoteKeypad);
    KeypadClient asker = plant.client(c.remoteKeypad ? 10s : 1500ms);
    std::optional<std::string> first;
    KeypadClient other = plant.client();
    if (c.whileDefaultsRun)
        first = other.send("r1", json{{"id", 1}, {"op", "defaults"}});
    const auto answer = asker.request("r1", json::parse(c.request));
    if (std::string(c.status).empty()) {
        EXPECT_FALSE(answer) << *answer;
        return;
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["id"], json::parse(c.request)["id"]);
    EXPECT_EQ((*answer)["status"], c.status) << *answer;
    EXPECT_NE(answer->value("error", "").find(c.error), std::string::npos) << *answer;
    // MQTT 5's answer came on the asker's own topic; keypad/response carries the same.
    EXPECT_TRUE(
        plant.waitFor("plant/r1/keypad/response", [&](const json &r) { return r == *answer; }));
    if (first) {
        EXPECT_EQ((*other.awaitResponse("r1", *first))["status"], "ok");
    }
    if (answer->contains("from")) {
        EXPECT_EQ((*answer)["from"]["send_time"], 10) << *answer;
    }

    const auto now = asker.request("r1", json{{"id", "check"}, {"op", "get"}});
    ASSERT_TRUE(now);
    EXPECT_EQ((*now)["to"]["send_time"], c.sendTimeAfter);
    EXPECT_EQ((*now)["to"]["mode"], json::parse(c.modeAfter));
    EXPECT_TRUE(
        plant.waitFor("plant/r1/keypad", [&](const json &held) { return held == (*now)["to"]; }));
}

INSTANTIATE_TEST_SUITE_P(
    Station, RemoteKeypadRequest,
    ::testing::Values(
        RequestCase{.name = "Get", .request = R"({"id":"a","op":"get"})", .status = "ok"},
        RequestCase{.name = "Set",
                    .request = R"({"id":7,"op":"set","settings":{"send_time":20}})",
                    .status = "ok",
                    .sendTimeAfter = 20},
        RequestCase{.name = "RefusedProfileSendsNothing",
                    .request = R"({"id":"b","op":"set","settings":{"send_time":300}})",
                    .status = "refused",
                    .error = "send_time: 300 is out of range"},
        // The reader refuses the format after it took the mode: the mode is written back.
        RequestCase{
            .name = "SetRefusedHalfWayRolledBack",
            .request =
                R"({"id":"c","op":"set","settings":{"mode":["beep"],"send_time":30,"format":"code 0x0B"}})",
            .status = "refused",
            .error = "set addtype: Device received incorrect parameter."},
        RequestCase{.name = "BusyWhileAnotherRuns",
                    .request = R"({"id":"d","op":"get"})",
                    .status = "busy",
                    .whileDefaultsRun = true},
        RequestCase{.name = "NotServedWithoutRemoteKeypad",
                    .request = R"({"id":"e","op":"get"})",
                    .status = "",
                    .remoteKeypad = false}),
    [](const auto &param) { return std::string(param.param.name); });

bool answered(const json &response, const char *status, int scanTime)
{
    return response["id"] == "desired" && response["status"] == status &&
           response["to"]["scan_time"] == scanTime;
}

// The fleet's state reaches both readers, a reader's own overrides it, and a reader
// replaced by one at its factory settings is set up again by itself.
TEST(RemoteKeypadDesired, FollowsReadersThatComeAndGo)
{
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed";
    Plant plant;
    for (const char *reader : {"r1", "r2"}) {
        plant.plugIn(reader);
        plant.startStation(reader);
    }
    KeypadClient admin = plant.client(3s);
    const auto answers = admin.fleet(json{{"scan_time", 7}});
    ASSERT_EQ(answers.size(), 2u);
    for (const auto &a : answers)
        EXPECT_TRUE(answered(a.response, "ok", 7)) << a.reader << " " << a.response;

    plant.publishRetained("plant/r2/keypad/desired", R"({"scan_time":9})");
    ASSERT_TRUE(plant.waitFor("plant/r2/keypad/response",
                              [](const json &r) { return answered(r, "ok", 9); }));
    ASSERT_TRUE(
        plant.waitFor("plant/r2/keypad", [](const json &s) { return s["scan_time"] == 9; }));

    const std::size_t before = plant.count("plant/r1/keypad/response");
    plant.unplug("r1");
    plant.plugIn("r1");
    ASSERT_TRUE(plant.waitFor(
        "plant/r1/keypad/response",
        [](const json &r) { return answered(r, "ok", 7) && r["from"]["scan_time"] == 5; }, 30s,
        before));
    EXPECT_EQ(
        plant.client().request("r1", json{{"id", 1}, {"op", "get"}}).value()["to"]["scan_time"], 7);
}

TEST(RemoteKeypadDesired, AclKeepsTheFleetFromAStation)
{
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed";
    Plant plant(kAclWithoutFleet);
    plant.plugIn("r1");
    plant.startStation("r1");
    EXPECT_TRUE(plant.client(2s).fleet(json{{"scan_time", 7}}).empty());
    EXPECT_EQ(
        plant.client().request("r1", json{{"id", 1}, {"op", "get"}}).value()["to"]["scan_time"], 5);
}

// Each client command prints what it prints on a local reader, byte for byte.
TEST(RemoteKeypadCommand, PrintsWhatTheLocalCommandPrints)
{
    if (MqttBroker::program().empty())
        GTEST_SKIP() << "mosquitto is not installed";
    Plant plant;
    plant.plugIn("remote");
    plant.startStation("remote");
    plant.plugIn("local");
    const auto dir = std::filesystem::path(plant.link("local")).parent_path();
    std::ofstream(dir / "refused.json") << R"({"mode":["beep"],"format":"code 0x0B"})";
    std::ofstream(dir / "bad.json") << R"({"scan_time":300})";
    const std::vector<std::vector<std::string>> commands = {
        {"keypad", "get"},
        {"keypad", "get", "--json"},
        {"keypad", "set", "--send-time", "20", "--add", "enter,tab"},
        {"keypad", "load", (dir / "refused.json").string()},
        {"keypad", "load", (dir / "bad.json").string()},
        {"keypad", "defaults", "--json"},
    };
    for (const auto &command : commands) {
        auto remote = command;
        remote.insert(remote.end(), {"--mqtt", plant.url("admin"), "--reader", "remote"});
        auto local = command;
        local.insert(local.begin(), {"-d", plant.link("local")});
        const auto there = qn480::testing::runToEnd(QN480CTL_PATH, remote, kPasswordEnv);
        const auto here = qn480::testing::runToEnd(QN480CTL_PATH, local);
        EXPECT_EQ(there.out, here.out) << command[1] << " " << there.err;
        EXPECT_EQ(there.code, here.code) << command[1] << " " << there.err;
        if (here.code == 0) {
            EXPECT_EQ(there.err, here.err);
        }
    }
    const auto none = qn480::testing::runToEnd(
        QN480CTL_PATH,
        {"keypad", "get", "--mqtt", plant.url("admin"), "--reader", "absent", "--timeout", "1"},
        kPasswordEnv);
    EXPECT_EQ(none.code, 6);
    EXPECT_EQ(none.err,
              "qn480ctl: no station answered for the reader absent within the time-out\n");
}

} // namespace
} // namespace qn480::station
