// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl as a script runs it, against qn480-sim on a pseudo-terminal: every command's
// output in text and JSON, Ctrl-C during a poll, the exit codes and bad arguments.

#include "child_process.h"
#include "fake_reader.h"
#include "private_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qn480::testing {
namespace {

const std::string kCtl = QN480CTL_PATH;
const std::string kSim = QN480_SIM_PATH;
const std::string kWindow = QN480_WINDOW_PATH;

const std::string kGetMode = "AA 00 04 00 00 00 10 14";
const std::string kCarrierOff = "AA 00 04 00 00 00 31 35";

const std::string kClassic = "present nfcid=12345678 atqa=0400 sak=08 type=Mifare Classic 1K";
const std::string kNoCard = "There is no card or card doesn\u2019t respond.";

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// A card line without its time: text lines begin with the local time, JSON lines end with
// it. A line without a well-formed time is returned whole, so that it fails to compare.
std::string untimed(const std::string &line)
{
    static const std::regex text(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)$)");
    static const std::regex json(R"(^(\{.*),"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"\}$)");
    std::smatch match;
    if (std::regex_match(line, match, text))
        return match[1];
    if (std::regex_match(line, match, json))
        return std::string(match[1]) + "}";
    return line;
}

std::vector<std::string> untimed(const std::vector<std::string> &lines)
{
    std::vector<std::string> out;
    for (const std::string &line : lines)
        out.push_back(untimed(line));
    return out;
}

const auto kAnyLine = [](const std::string &) {
    return true;
};

// A simulated reader on a pty, reachable at a fixed path and as COM42 through QN480_PORTS.
class Simulator
{
public:
    explicit Simulator(std::vector<std::string> options = {})
        : m_link(m_dir / "reader")
    {
        options.insert(options.end(), {"--link", m_link, "--com", "42", "--log"});
        m_process = std::make_unique<ChildProcess>(kSim, options);
        m_ready = !m_process
                       ->waitForLine(
                           ChildProcess::Out,
                           [](const std::string &line) { return startsWith(line, "QN480_PORTS="); })
                       .empty();
    }
    ~Simulator() { m_process.reset(); }

    bool ready() const { return m_ready; }
    const std::string &device() const { return m_link; }
    std::string portsEntry() const { return "QN480_PORTS=COM42=" + m_link; }
    // A command on the simulator's standard input ("remove all", "place 1").
    void command(const std::string &line) { m_process->send(line + "\n"); }
    // Waits until the request `frame` has arrived; false when it never does.
    bool sawRequest(const std::string &frame)
    {
        return !m_process->waitForLineContaining(ChildProcess::Err, ">> " + frame).empty();
    }
    // Sends a signal and returns the exit code.
    int stop(int signal)
    {
        m_process->signal(signal);
        return m_process->wait();
    }

    // Stops the simulator; returns how many requests it received.
    int requests()
    {
        m_process->signal(SIGTERM);
        m_process->wait();
        const auto log = m_process->lines(ChildProcess::Err);
        return static_cast<int>(std::count_if(log.begin(), log.end(), [](const std::string &l) {
            return l.find(">> ") != std::string::npos;
        }));
    }

    // Stops the simulator; returns how many times it received the request `frame`.
    int received(const std::string &frame)
    {
        m_process->signal(SIGTERM);
        m_process->wait();
        const auto log = m_process->lines(ChildProcess::Err);
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string &l) {
            return l.size() >= frame.size() + 3 &&
                   l.compare(l.size() - frame.size() - 3, std::string::npos, ">> " + frame) == 0;
        }));
    }

private:
    PrivateDir m_dir{"qn480ctl-test"}; // outlives the simulator
    std::string m_link;
    std::unique_ptr<ChildProcess> m_process;
    bool m_ready = false;
};

// A pseudo-terminal with nobody answering behind it: a port with no reader, or one still
// starting up. What reaches it can be read back.
class SilentPty
{
public:
    SilentPty()
        : m_master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0)
            m_path = ptsname(m_master);
    }
    ~SilentPty() { ::close(m_master); }
    SilentPty(const SilentPty &) = delete;
    SilentPty &operator=(const SilentPty &) = delete;

    const std::string &path() const { return m_path; }
    // The bytes that reached it so far, in hexadecimal.
    std::string received() const
    {
        std::vector<std::uint8_t> bytes;
        pollfd pfd{m_master, POLLIN, 0};
        std::uint8_t buf[4096];
        for (ssize_t n; poll(&pfd, 1, 0) > 0 && (n = ::read(m_master, buf, sizeof buf)) > 0;)
            bytes.insert(bytes.end(), buf, buf + n);
        return hexText(bytes);
    }

private:
    int m_master;
    std::string m_path;
};

// Holds a device the way another program holding it would: open, with its lock taken.
class Holder
{
public:
    explicit Holder(const std::string &device)
        : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (m_fd >= 0)
            flock(m_fd, LOCK_EX);
    }
    ~Holder() { release(); }
    Holder(const Holder &) = delete;
    Holder &operator=(const Holder &) = delete;
    void release()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Makes `link` lead to `target` in one step, as udev changes a node under a program.
void pointLink(const std::string &link, const std::string &target)
{
    const std::string next = link + ".next";
    unlink(next.c_str());
    ASSERT_EQ(symlink(target.c_str(), next.c_str()), 0);
    ASSERT_EQ(rename(next.c_str(), link.c_str()), 0);
}

Finished ctl(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    return runToEnd(kCtl, args, env);
}

TEST(QnCtlProgram, ListsTheSimulatorAmongThePorts)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const Finished text = ctl({"ports"}, {sim.portsEntry()});
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(
        text.out.find("COM42\t" + sim.device() + "\t" + sim.device() + ", from QN480_PORTS\n"),
        std::string::npos)
        << text.out;

    const Finished json = ctl({"ports", "--json"}, {sim.portsEntry()});
    EXPECT_EQ(json.code, 0);
    EXPECT_NE(json.out.find(R"({"name":"COM42","number":42,"device":")" + sim.device() + "\""),
              std::string::npos)
        << json.out;

    // --probe: the simulator answers as a reader, a pty with nobody behind it does not, and
    // a port another program holds is left alone and said so. Each free port gets one Get.
    const SilentPty silent;
    const SilentPty busy;
    const Holder holder(busy.path());
    const std::string entries =
        sim.portsEntry() + ";COM43=" + silent.path() + ";COM44=" + busy.path();
    const Finished probed = ctl({"ports", "--probe"}, {entries});
    EXPECT_EQ(probed.code, 0) << probed.err;
    for (const std::string &line :
         {"COM42\t" + sim.device() + "\t" + sim.device() + ", from QN480_PORTS\treader\n",
          "COM43\t" + silent.path() + "\t" + silent.path() + ", from QN480_PORTS\tno reader\n",
          "COM44\t" + busy.path() + "\t" + busy.path() + ", from QN480_PORTS\tnot probed\n"}) {
        EXPECT_NE(probed.out.find(line), std::string::npos) << probed.out;
    }
    EXPECT_NE(probed.err.find("qn480ctl: COM44 not probed: "), std::string::npos) << probed.err;
    EXPECT_NE(probed.err.find(" in use"), std::string::npos) << probed.err;

    const Finished probedJson = ctl({"ports", "--probe", "-j"}, {entries});
    EXPECT_EQ(probedJson.code, 0);
    std::map<std::string, nlohmann::json> readers;
    for (const std::string &line : probedJson.outLines()) {
        const auto port = nlohmann::json::parse(line);
        readers[port["name"]] = port["reader"];
    }
    EXPECT_EQ(readers["COM42"], true);
    EXPECT_EQ(readers["COM43"], false);
    EXPECT_TRUE(readers["COM44"].is_null());
    EXPECT_EQ(silent.received(), kGetMode + " " + kGetMode);
    EXPECT_EQ(sim.requests(), 2);
}

TEST(QnCtlProgram, CtrlCDuringAPollSwitchesTheCarrierOffOnceAndExitsZero)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    ChildProcess poll(kCtl, {"--port", "COM42", "poll", "14a"}, {sim.portsEntry()});
    ASSERT_EQ(untimed(poll.waitForLine(ChildProcess::Out, kAnyLine)), kClassic);
    poll.signal(SIGINT);
    EXPECT_EQ(poll.wait(), 0);

    // The card still lying there leaves with the poll.
    EXPECT_EQ(untimed(poll.lines(ChildProcess::Out)),
              (std::vector<std::string>{kClassic, "removed nfcid=12345678 cause=stopped"}));
    const auto messages = poll.lines(ChildProcess::Err);
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "Configure registers in the QN480 to serve ISO14443A transaction.");
    EXPECT_EQ(messages.back(), "Stop 13.56-MHz carrier emission");
    EXPECT_EQ(sim.received("AA 00 04 00 00 00 30 34"), 1);
    EXPECT_EQ(sim.received("AA 00 04 00 00 00 31 35"), 1);
}

TEST(QnCtlProgram, CountStopsAfterThatManyCardsHaveArrivedAndRemovalsAreTold)
{
    Simulator sim({"--card", "desfire"});
    ASSERT_TRUE(sim.ready());
    ChildProcess poll(kCtl, {"--device", sim.device(), "poll", "14a", "--count", "2", "--json"});
    const std::string desfire = R"({"interface":"14a","uid":"008068B71A5D5004","atqa":"44",)"
                                R"("sak":"20","type":"Mifare DESFire","nfcid":"04505D1AB76880",)"
                                R"("atqa_bytes":"4403","ats":"067577810280","event":")";
    ASSERT_EQ(untimed(poll.waitForLine(ChildProcess::Out, kAnyLine)), desfire + "present\"}");
    // The card leaves the field and comes back: the second card.
    sim.command("remove all");
    ASSERT_FALSE(poll.waitForLineContaining(ChildProcess::Out, "removed").empty());
    sim.command("place all");
    EXPECT_EQ(poll.wait(), 0);
    EXPECT_EQ(untimed(poll.lines(ChildProcess::Out)),
              (std::vector<std::string>{desfire + "present\"}", desfire + "removed\"}",
                                        desfire + "present\"}"}));
    EXPECT_EQ(sim.received("AA 00 04 00 00 00 31 35"), 1);
}

TEST(QnCtlProgram, TypeACardsCarryTheirUidAsTheCardSendsIt)
{
    struct Case
    {
        std::string card;
        std::string text;
        std::string json;
    };
    const std::vector<Case> cases{
        {"classic1k", "nfcid=12345678 atqa=0400 sak=08 type=Mifare Classic 1K",
         R"("uid":"0000000078563412","atqa":"04","sak":"08","type":"Mifare Classic 1K",)"
         R"("nfcid":"12345678","atqa_bytes":"0400")"},
        {"ultralight", "nfcid=04A1B2C3D4E5F6 atqa=4400 sak=00 type=Mifare Ultralight",
         R"("uid":"00F6E5D4C3B2A104","atqa":"44","sak":"00","type":"Mifare Ultralight",)"
         R"("nfcid":"04A1B2C3D4E5F6","atqa_bytes":"4400")"},
        // Three cascade levels: the window's UID drops both cascade tags.
        {"14a:uid=0102030405060708090A,atqa=4403,sak=20,ats=067577810280",
         "nfcid=0102030405060708090A atqa=4403 sak=20 ats=067577810280 type=Mifare DESFire",
         R"("uid":"0A090807060504030201","atqa":"44","sak":"20","type":"Mifare DESFire",)"
         R"("nfcid":"0102030405060708090A","atqa_bytes":"4403","ats":"067577810280")"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.card);
        Simulator sim({"--card", c.card});
        ASSERT_TRUE(sim.ready());
        const Finished text = ctl({"-d", sim.device(), "poll", "14a", "-n1"});
        EXPECT_EQ(text.code, 0);
        EXPECT_EQ(untimed(text.outLines()), std::vector<std::string>{"present " + c.text});
        // Every pass names the card's type; nothing else reaches stderr.
        EXPECT_EQ(text.errLines().size(), 3u) << text.err;
        const Finished json = ctl({"-d", sim.device(), "poll", "14a", "-n1", "-j"});
        EXPECT_EQ(
            untimed(json.outLines()),
            std::vector<std::string>{R"({"interface":"14a",)" + c.json + R"(,"event":"present"})"});
    }
}

TEST(QnCtlProgram, PollsEveryAirInterface)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    struct Case
    {
        std::string air;
        std::string line;
    };
    const std::vector<Case> cases{
        {"14a", kClassic},
        {"14b", "present pupi=1A2B3C4D app_data=00000000 info=008171"},
        {"felica", "present idm=0102030405060708 slot=00 sub_response=01"},
        {"15693", "present uid_msb=8877665544332211 dsfid=00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.air);
        const Finished done = ctl({"--device", sim.device(), "poll", c.air, "--count", "1"});
        EXPECT_EQ(done.code, 0);
        EXPECT_EQ(untimed(done.outLines()), std::vector<std::string>{c.line});
    }
    const Finished json = ctl({"--device", sim.device(), "--json", "poll", "15693", "--count=1"});
    EXPECT_EQ(untimed(json.outLines()),
              std::vector<std::string>{R"({"interface":"15693","dsfid":"00",)"
                                       R"("uid":"1122334455667788","uid_msb":"8877665544332211",)"
                                       R"("event":"present"})"});
    EXPECT_EQ(sim.received("AA 00 04 00 00 00 31 35"), 5);
}

TEST(QnCtlProgram, KeypadSettingsGoRoundTheReader)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::vector<std::string> device{"--device", sim.device()};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), device.begin(), device.end());
        return args;
    };

    const Finished set =
        ctl(with({"keypad", "set", "--mode", "autoread,led", "--types", "14a,15693", "--format",
                  "13D", "--reverse", "byte", "--add", "comma,tab", "--send-time", "7",
                  "--scan-time", "200", "--same-card-time", "0"}));
    EXPECT_EQ(set.code, 0) << set.err;
    EXPECT_EQ(set.out, "mode: autoread,led\n"
                       "types: 14a,15693\n"
                       "format: 13D\n"
                       "reverse: byte\n"
                       "add: comma,tab\n"
                       "send-time: 7 (7 ms)\n"
                       "scan-time: 200 (2000 ms)\n"
                       "same-card-time: 0 (0 ms)\n");
    EXPECT_EQ(set.err, "");

    const Finished get = ctl(with({"keypad", "get", "--json"}));
    EXPECT_EQ(get.code, 0);
    EXPECT_EQ(get.out, R"({"mode":["autoread","led"],"types":["14a","15693"],"format":"13D",)"
                       R"("reverse":"byte","add":["comma","tab"],"send_time":7,"send_time_ms":7,)"
                       R"("scan_time":200,"scan_time_ms":2000,"same_card_time":0,)"
                       R"("same_card_time_ms":0,"errors":{}})"
                       "\n");

    // Part of the format: the rest stays as the reader has it.
    const Finished part = ctl(with({"keypad", "set", "--add", "enter"}));
    EXPECT_EQ(part.code, 0) << part.err;
    EXPECT_NE(part.out.find("format: 13D\nreverse: byte\nadd: enter\n"), std::string::npos);

    const Finished raw = ctl(with({"raw", "00", "1A"}));
    EXPECT_EQ(raw.out, "result: frame\nstatus: 01 Operation is successful.\ndata: 08 02 80\n");

    const Finished defaults = ctl(with({"keypad", "defaults"}));
    EXPECT_EQ(defaults.code, 0) << defaults.err;
    EXPECT_EQ(defaults.out, "mode: autoread,beep,led,samecard\n"
                            "types: 14a,14b,felica,15693,guid\n"
                            "format: 8H\n"
                            "reverse: none\n"
                            "add: enter\n"
                            "send-time: 10 (10 ms)\n"
                            "scan-time: 5 (50 ms)\n"
                            "same-card-time: 15 (1500 ms)\n");
}

TEST(QnCtlProgram, KeypadProfilesSetAFleetAndProveItTook)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::filesystem::path dir = std::filesystem::path(sim.device()).parent_path();
    const std::string profile = (dir / "line3.json").string();
    const std::vector<std::string> device{"--device", sim.device()};
    const auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), device.begin(), device.end());
        return args;
    };

    ASSERT_EQ(
        ctl(with({"keypad", "set", "--format", "10H", "--add", "tab", "--scan-time", "9"})).code,
        0);
    const Finished saved = ctl(with({"keypad", "save", profile}));
    EXPECT_EQ(saved.code, 0) << saved.err;
    const Finished before = ctl(with({"keypad", "get", "--json"}));

    ASSERT_EQ(ctl(with({"keypad", "defaults"})).code, 0);
    const Finished loaded = ctl(with({"keypad", "load", profile}));
    EXPECT_EQ(loaded.code, 0) << loaded.err;
    EXPECT_EQ(ctl(with({"keypad", "get", "--json"})).out, before.out);

    // keypad get --json is itself a profile, read from stdin with "-" too.
    const std::string getJson = (dir / "get.json").string();
    std::ofstream(getJson) << before.out;
    EXPECT_EQ(ctl(with({"keypad", "load", getJson})).code, 0);
}

TEST(QnCtlProgram, ABadProfileIsNamedInOneLineAndNothingIsSent)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::filesystem::path dir = std::filesystem::path(sim.device()).parent_path();
    struct Case
    {
        std::string text;
        std::string message; // after "qn480ctl: profile FILE: "
        bool directory = false;
    };
    const std::vector<Case> cases{
        {R"({"mode": ["beep",]})", "not a JSON profile: parse error at line 1, column 18: "},
        {R"({"beeper": true})", "beeper: unknown field; "},
        {R"({"types": ["14a", "nfc-f"]})", "types: unknown name \"nfc-f\"; "},
        {R"({"format": "9H"})", "format: unknown format \"9H\"; "},
        {R"({"scan_time": 256})", "scan_time: 256 is out of range; "},
        {R"({"send_time": 5, "send_time_ms": 50})", "send_time_ms: 50 does not match send_time; "},
        {R"({"mode": null})", "mode: is null: "},
        {"// nothing but a comment\n{}", "the profile holds no setting; nothing sent"},
        // Numbers no double holds, once an abort that left the port raw and exclusive.
        {R"({"send_time": 1e999})", "not a JSON profile: number overflow parsing '1e999'"},
        {R"({"scan_time": -1e400})", "not a JSON profile: number overflow parsing '-1e400'"},
        {R"({"mode": ["beep"], "mode": []})", "mode: given twice; "},
        {std::string(R"({"mode": ["beep"]})") + '\0' + "{}",
         "not a JSON profile: a NUL byte at offset 18"},
        // What keypad set and the reader refuse is refused before anything goes out.
        {R"({"scan_time": 9, "reverse": "both"})",
         "reverse: takes none, byte or bit, not \"both\""},
        // Text from the file is escaped: it must not drive the terminal.
        {"{\"\\u001b]0;PWNED\\u0007\": 1}", "\\x1B]0;PWNED\\x07: unknown field; "},
        {"{\"mode\": \xFF}", "not a JSON profile: parse error at line 1, column 10: "},
        {"", "is a directory, not a profile; nothing sent", true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.text);
        const std::string path = (dir / ("bad" + std::to_string(i) + ".json")).string();
        if (c.directory)
            std::filesystem::create_directory(path);
        else
            std::ofstream(path) << c.text;
        const Finished done = ctl({"--device", sim.device(), "keypad", "load", path});
        EXPECT_EQ(done.code, 2);
        ASSERT_EQ(done.errLines().size(), 1u) << done.err;
        EXPECT_TRUE(startsWith(done.err, "qn480ctl: profile " + path + ": " + c.message))
            << done.err;
        EXPECT_NE(done.err.find("nothing sent\n"), std::string::npos) << done.err;
        EXPECT_EQ(done.err.find_first_of("\x1B\x07\xFF"), std::string::npos) << done.err;
    }
    EXPECT_EQ(sim.requests(), 0);

    // The profile is read before the port is opened: without a reader, the file is named.
    const Finished missing = ctl(
        {"--device", (dir / "no-reader").string(), "keypad", "load", (dir / "none.json").string()});
    EXPECT_EQ(missing.code, 2);
    EXPECT_EQ(missing.err, "qn480ctl: cannot read " + (dir / "none.json").string() +
                               ": No such file or directory\n");
}

TEST(QnCtlProgram, FindsTheReaderByEnvironmentOrSaysWhichPortItTook)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    for (const std::string &named : {sim.device(), std::string("COM42")}) {
        SCOPED_TRACE(named);
        const Finished done = ctl({"raw", "00", "18"}, {"QN480_DEVICE=" + named, sim.portsEntry()});
        EXPECT_EQ(done.code, 0) << done.err;
        EXPECT_EQ(done.err, "");
    }
    // --device wins over the environment.
    const Finished wins =
        ctl({"--device", sim.device(), "raw", "00", "18"}, {"QN480_DEVICE=/nonexistent/reader"});
    EXPECT_EQ(wins.code, 0);

    // With no hint, a command that writes is refused, whatever ports there are: a PC's only
    // port is its ttyS0, and whatever hangs there is not to get settings or raw bytes.
    for (const auto &[writes, name] :
         {std::pair(std::vector<std::string>{"keypad", "defaults"}, "keypad defaults"),
          std::pair(std::vector<std::string>{"raw", "00", "18"}, "raw")}) {
        const Finished refused = ctl(writes, {sim.portsEntry()});
        EXPECT_EQ(refused.code, 2);
        EXPECT_EQ(refused.err, "qn480ctl: " + std::string(name) +
                                   " writes to the reader, so it needs its port: --port COMnn, "
                                   "--device PATH or QN480_DEVICE\n");
    }

    // A command that reads takes the only port in the list and names it.
    const Finished only = ctl({"keypad", "get"}, {sim.portsEntry()});
    if (only.code == 2)
        GTEST_SKIP() << "this machine has serial ports of its own";
    EXPECT_EQ(only.code, 0);
    EXPECT_EQ(only.errLines(), std::vector<std::string>{"qn480ctl: using COM42 (" + sim.device() +
                                                        "), the only serial port"});
}

TEST(QnCtlProgram, AHostilePortEntryForgesNoLineAndKeepsJsonValid)
{
    const std::string hostile =
        "QN480_PORTS=COM60=/tmp/a\nCOM61=/tmp/forged;COM62=/tmp/\xff\x1b[31mred\xc3";
    const Finished text = ctl({"ports"}, {hostile});
    EXPECT_EQ(text.code, 0);
    for (const std::string &line : text.outLines()) {
        SCOPED_TRACE(line);
        EXPECT_FALSE(startsWith(line, "COM61"));
        EXPECT_EQ(line.find('\x1b'), std::string::npos);
    }
    EXPECT_NE(text.out.find("COM60\t/tmp/a\\x0ACOM61=/tmp/forged\t"), std::string::npos)
        << text.out;

    const Finished json = ctl({"ports", "--json"}, {hostile});
    for (const std::string &line : json.outLines()) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(nlohmann::json::accept(line));
    }
    // Each byte that is not UTF-8 becomes U+FFFD.
    EXPECT_NE(json.out.find("\"device\":\"/tmp/\xEF\xBF\xBD\\u001b[31mred\xEF\xBF\xBD\""),
              std::string::npos)
        << json.out;
}

TEST(QnCtlProgram, ExitCodesTellAReaderErrorFromNoAnswer)
{
    {
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        // With the carrier off no card answers: the reader's own error.
        const Finished refused = ctl({"--device", sim.device(), "raw", "0A", "10", "--json"});
        EXPECT_EQ(refused.code, 1);
        EXPECT_EQ(refused.out, R"({"result":"frame","status":224,"status_text":")" + kNoCard +
                                   R"(","data_length":0,"data":""})"
                                   "\n");
        const Finished undefined = ctl({"--device", sim.device(), "raw", "00", "99"});
        EXPECT_EQ(undefined.code, 1);
    }

    Simulator silent({"--drop", "1"});
    ASSERT_TRUE(silent.ready());
    const Finished raw = ctl({"--device", silent.device(), "raw", "00", "10"});
    EXPECT_EQ(raw.code, 4);
    EXPECT_EQ(raw.out, "result: time-out\nstatus: 00\ndata: none (no valid frame)\n");

    const Finished poll = ctl({"--device", silent.device(), "poll", "14a"});
    EXPECT_EQ(poll.code, 4);
    EXPECT_EQ(poll.errLines().back(), "Initialize 43A Mode Failed!");

    // A one-shot read with nothing in the field.
    Simulator empty({"--card", "14b"});
    ASSERT_TRUE(empty.ready());
    const Finished none =
        ctl({"-d", empty.device(), "-q", "poll", "14a", "--count", "1", "--timeout", "0.3"});
    EXPECT_EQ(none.code, 4);
    EXPECT_EQ(none.out, "");
    EXPECT_EQ(none.err, "qn480ctl: no card within the time-out\n");

    const Finished get = ctl({"--device", silent.device(), "keypad", "get"});
    EXPECT_EQ(get.code, 4);
    EXPECT_EQ(get.errLines().size(), 6u);
    EXPECT_EQ(silent.received("AA 00 04 00 00 00 30 34"), 0);
}

TEST(QnCtlProgram, APortThatCannotBeOpenedExitsThree)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());

    const Finished missing = ctl({"--device", "/nonexistent/qn480", "keypad", "get"});
    EXPECT_EQ(missing.code, 3);
    EXPECT_EQ(missing.err, "qn480ctl: cannot open /nonexistent/qn480: no such device: "
                           "/nonexistent/qn480\n");

    const Finished unlisted = ctl({"--port", "COM43", "keypad", "get"}, {sim.portsEntry()});
    EXPECT_EQ(unlisted.code, 3);
    EXPECT_EQ(unlisted.err, "qn480ctl: cannot open COM43: COM43 is not in the port list\n");

    // A second program cannot take the port while a poll holds it.
    ChildProcess poll(kCtl, {"--device", sim.device(), "poll", "14a"});
    ASSERT_EQ(untimed(poll.waitForLine(ChildProcess::Out, kAnyLine)), kClassic);
    const Finished busy = ctl({"--device", sim.device(), "keypad", "get"});
    EXPECT_EQ(busy.code, 3);
    EXPECT_EQ(busy.errLines().size(), 1u);
    EXPECT_NE(busy.err.find(" in use"), std::string::npos) << busy.err;
    poll.signal(SIGINT);
    EXPECT_EQ(poll.wait(), 0);
}

TEST(QnCtlProgram, AnUnpluggedReaderExitsThreeOrIsWaitedFor)
{
    // The reader hangs up instead of its first answer: each command names it and exits 3.
    for (const std::vector<std::string> &command :
         {std::vector<std::string>{"poll", "14a"}, {"keypad", "get"}, {"raw", "00", "10"}}) {
        Simulator gone({"--hangup", "1"});
        ASSERT_TRUE(gone.ready());
        std::vector<std::string> args{"-d", gone.device()};
        args.insert(args.end(), command.begin(), command.end());
        const Finished run = ctl(args);
        EXPECT_EQ(run.code, 3) << command.front();
        ASSERT_FALSE(run.errLines().empty());
        EXPECT_EQ(run.errLines().back(), "qn480ctl: the reader on " + gone.device() +
                                             " was disconnected (unplugged or hung up)");
        EXPECT_TRUE(run.out.empty()) << run.out;
    }

    Simulator sim;
    ASSERT_TRUE(sim.ready());
    // --wait: a reader not there at start is waited for.
    const std::string later = sim.device() + "-later";
    ChildProcess get(kCtl, {"-w", "-d", later, "keypad", "get", "--json"});
    EXPECT_NE(get.waitForLineContaining(ChildProcess::Err, "waiting for it to appear"), "");
    ASSERT_EQ(symlink(std::filesystem::read_symlink(sim.device()).c_str(), later.c_str()), 0);
    EXPECT_EQ(get.wait(), 0);
    EXPECT_NE(get.text(ChildProcess::Out).find(R"("send_time":10)"), std::string::npos);
    EXPECT_NE(get.text(ChildProcess::Err).find(later + " is there; going on"), std::string::npos);
    unlink(later.c_str());

    // ... and one that is there but cannot be opened yet, whatever the reason: held by a
    // prober, not yet a terminal, not yet ours (udev sets the group a moment later; root is
    // never refused). Each reason is told once, and the command goes on when it is gone.
    const std::string pts = std::filesystem::read_symlink(sim.device()).string();
    struct Blocked
    {
        std::string name;
        std::string reason;
        std::function<void()> block;
        std::function<void()> unblock;
    };
    std::optional<Holder> prober;
    std::vector<Blocked> blocked{
        {"busy", " in use", [&] { prober.emplace(pts); },
         [&] {
             prober.reset();
         }},
        {"not a terminal", "cannot open " + later + ": ",
         [&] {
             unlink(later.c_str());
             std::ofstream(later) << "";
         },
         [&] {
             pointLink(later, pts);
         }},
    };
    if (geteuid() != 0) {
        blocked.push_back({"no permission", "permission denied", [&] { chmod(pts.c_str(), 0); },
                           [&] {
                               chmod(pts.c_str(), S_IRUSR | S_IWUSR | S_IWGRP);
                           }});
    }
    for (const Blocked &b : blocked) {
        SCOPED_TRACE(b.name);
        pointLink(later, pts);
        b.block();
        ChildProcess blockedGet(kCtl, {"-w", "-d", later, "keypad", "get", "--json"});
        EXPECT_NE(blockedGet.waitForLineContaining(ChildProcess::Err,
                                                   "; waiting until it can be opened (--wait)"),
                  "");
        std::this_thread::sleep_for(std::chrono::milliseconds(600)); // a few tries
        b.unblock();
        EXPECT_EQ(blockedGet.wait(), 0);
        EXPECT_NE(blockedGet.text(ChildProcess::Out).find(R"("send_time":10)"), std::string::npos);
        const auto err = blockedGet.lines(ChildProcess::Err);
        ASSERT_EQ(err.size(), 2u) << blockedGet.text(ChildProcess::Err);
        EXPECT_NE(err[0].find(b.reason), std::string::npos) << err[0];
        EXPECT_EQ(err[1], "qn480ctl: " + later + " is open; going on");
    }
    unlink(later.c_str());

    // A reader just plugged in that does not answer yet (still starting) is tried again
    // until it does; a poll does not give up on it.
    {
        const SilentPty starting;
        ChildProcess first(kCtl, {"-w", "-d", later, "poll", "14a", "-n", "1"});
        EXPECT_NE(first.waitForLineContaining(ChildProcess::Err, "waiting for it to appear"), "");
        pointLink(later, starting.path());
        EXPECT_NE(first.waitForLineContaining(ChildProcess::Err,
                                              "qn480ctl: the reader on " + later +
                                                  " does not answer yet; trying again (--wait)"),
                  "");
        pointLink(later, pts);
        EXPECT_EQ(first.wait(), 0) << first.text(ChildProcess::Err);
        EXPECT_EQ(untimed(first.lines(ChildProcess::Out)), std::vector<std::string>{kClassic});
        unlink(later.c_str());
    }

    // ... and one unplugged mid-poll is waited for to come back; the poll goes on where it
    // was: the card still lying there is not a new one, the next one is.
    ChildProcess poll(kCtl, {"-w", "-d", sim.device(), "poll", "14a", "-n", "2"});
    ASSERT_EQ(untimed(poll.waitForLine(ChildProcess::Out, kAnyLine)), kClassic);
    sim.command("hangup");
    EXPECT_NE(poll.waitForLineContaining(ChildProcess::Err, sim.device() + " is back; going on"),
              "");
    sim.command("remove 1");
    EXPECT_NE(poll.waitForLineContaining(ChildProcess::Out, "removed"), "")
        << poll.text(ChildProcess::Err);
    sim.command("place 1");
    EXPECT_EQ(poll.wait(), 0);
    const auto lines = untimed(poll.lines(ChildProcess::Out));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), kClassic);
    const std::string err = poll.text(ChildProcess::Err);
    EXPECT_NE(err.find("the reader on " + sim.device() + " was disconnected"), std::string::npos);
    EXPECT_NE(err.find("waiting for " + sim.device() + " to come back"), std::string::npos) << err;

    // A profile from a pipe is read once: after a hang-up in the middle of its Sets, the
    // reader back gets the same profile, and what had gone out is told.
    Simulator slow({"--delay", "1", "--delay-ms", "300"});
    ASSERT_TRUE(slow.ready());
    ChildProcess load(kCtl, {"-w", "-d", slow.device(), "keypad", "load", "-"});
    load.send(R"({"mode": ["beep"], "send_time": 7})");
    load.closeInput();
    const std::string setMode = "AA 00 05 00 00 00 11 02 16";
    ASSERT_TRUE(slow.sawRequest(setMode));
    slow.command("hangup");
    EXPECT_EQ(load.wait(), 0) << load.text(ChildProcess::Err);
    const std::string told = load.text(ChildProcess::Err);
    // Mode was going out (or, on a slow machine, had gone): either way it is told.
    EXPECT_NE(told.find("written before the reader was lost: "), std::string::npos) << told;
    EXPECT_EQ(told.find("not a JSON profile"), std::string::npos) << told;
    EXPECT_NE(load.text(ChildProcess::Out).find("send-time: 7 (7 ms)"), std::string::npos)
        << load.text(ChildProcess::Out);
    EXPECT_EQ(slow.received(setMode), 2);
}

TEST(QnCtlProgram, BadArgumentsExitTwoWithOneLine)
{
    // A FIFO as the log would hold the poll until something read it.
    const PrivateDir dir("qn480ctl-args");
    const std::string fifo = dir / "cards.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::vector<std::string>> cases{
        {"poll", "14a", "--log", fifo, "-d", fifo},
        {},
        {"poll", "14a", "--count", "none"},
        {"keypad", "set", "--format"},
        {"raw", "00", "10", "0"},
        {std::string("poll\xff"), "\x01"},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const std::string &arg : args)
            line += arg + " ";
        SCOPED_TRACE(line);
        const Finished done = ctl(args);
        EXPECT_EQ(done.code, 2);
        EXPECT_EQ(done.out, "");
        ASSERT_EQ(done.errLines().size(), 1u) << done.err;
        EXPECT_TRUE(startsWith(done.err, "qn480ctl: "));
    }

    const Finished help = ctl({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit codes:"), std::string::npos);
    EXPECT_EQ(help.err, "");
    // After a command, that command's usage; it needs no reader.
    for (const std::string command : {"poll", "keypad", "raw", "ports", "udev-rule"}) {
        const Finished usage = ctl({command, "--help"});
        EXPECT_EQ(usage.code, 0) << command;
        EXPECT_TRUE(startsWith(usage.out, "Usage: qn480ctl ")) << usage.out;
        EXPECT_NE(usage.out.find("\n  " + command), std::string::npos) << usage.out;
        EXPECT_EQ(usage.out.find("Exit codes:"), std::string::npos) << usage.out;
        EXPECT_EQ(usage.err, "");
    }

    const Finished version = ctl({"-V"});
    EXPECT_EQ(version.code, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex(R"(qn480ctl \d+\.\d+.*\n)")));
}

// The pty as a user left it before a program took it: 9600 baud and reads that wait,
// unlike the raw 115200 that the programs set. Held open to look at it afterwards.
class PortState
{
public:
    explicit PortState(const std::string &device)
        : m_fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios t{};
        tcgetattr(m_fd, &t);
        cfmakeraw(&t); // no echo: the simulator would take its answers back as requests
        cfsetspeed(&t, B9600);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        tcsetattr(m_fd, TCSANOW, &t);
        tcgetattr(m_fd, &m_before);
    }
    ~PortState() { ::close(m_fd); }
    PortState(const PortState &) = delete;
    PortState &operator=(const PortState &) = delete;

    // What is no longer as it was; "" when nothing.
    std::string changes() const
    {
        termios now{};
        int exclusive = 0;
        if (m_fd < 0 || tcgetattr(m_fd, &now) != 0 || ioctl(m_fd, TIOCGEXCL, &exclusive) != 0)
            return "cannot look at the port";
        std::string out;
        if (cfgetospeed(&now) != cfgetospeed(&m_before) || now.c_cflag != m_before.c_cflag)
            out += "line settings; ";
        if (now.c_iflag != m_before.c_iflag || now.c_oflag != m_before.c_oflag ||
            now.c_lflag != m_before.c_lflag || now.c_cc[VMIN] != m_before.c_cc[VMIN] ||
            now.c_cc[VTIME] != m_before.c_cc[VTIME])
            out += "modes; ";
        if (exclusive != 0)
            out += "exclusive; ";
        return out;
    }

private:
    int m_fd;
    termios m_before{};
};

TEST(Signals, EveryProgramEndsInOrderAndGivesThePortBack)
{
    struct Case
    {
        std::string name;
        std::string program;
        std::vector<std::string> args;
        bool slowReader;    // answers 300 ms late, so that the signal comes mid-transaction
        std::string during; // the request after which the signal is sent
        int signal;
        int code;
        int carrierOffs;
    };
    const std::vector<std::string> poll{"--port", "COM42", "poll", "14a"};
    const std::vector<std::string> get{"--port", "COM42", "keypad", "get"};
    const std::vector<std::string> raw{"--port", "COM42", "raw", "00", "10"};
    const std::vector<std::string> set{"--port", "COM42", "keypad",      "set",
                                       "--mode", "beep",  "--send-time", "7"};
    const std::string request = "AA 00 04 00 00 0A 10";
    const std::vector<Case> cases{
        {"poll", kCtl, poll, false, request, SIGINT, 0, 1},
        {"poll", kCtl, poll, false, request, SIGTERM, 0, 1},
        {"poll", kCtl, poll, false, request, SIGHUP, 128 + SIGHUP, 1},
        {"keypad get", kCtl, get, true, kGetMode, SIGINT, 128 + SIGINT, 0},
        {"keypad get", kCtl, get, true, kGetMode, SIGTERM, 128 + SIGTERM, 0},
        {"keypad get", kCtl, get, true, kGetMode, SIGHUP, 128 + SIGHUP, 0},
        {"raw", kCtl, raw, true, kGetMode, SIGTERM, 128 + SIGTERM, 0},
        // A write sequence finishes its Sets first, then stops without reading back.
        {"keypad set", kCtl, set, true, "AA 00 05 00 00 00 11 02 16", SIGTERM, 128 + SIGTERM, 0},
        // Closing the window gives the port back at once; the carrier-off then has none.
        {"window", kWindow, {"COM42"}, false, request, SIGINT, 0, 0},
        {"window", kWindow, {"COM42"}, false, request, SIGTERM, 0, 0},
        {"window", kWindow, {"COM42"}, false, request, SIGHUP, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.signal));
        Simulator sim(c.slowReader ? std::vector<std::string>{"--delay", "1", "--delay-ms", "300"}
                                   : std::vector<std::string>{});
        ASSERT_TRUE(sim.ready());
        const PortState port(sim.device());
        ChildProcess program(c.program, c.args, {sim.portsEntry()});
        ASSERT_TRUE(sim.sawRequest(c.during));
        program.signal(c.signal);
        EXPECT_EQ(program.wait(), c.code) << program.text(ChildProcess::Err);
        EXPECT_EQ(port.changes(), "");
        if (c.program == kCtl && c.code != 0) {
            if (c.name != "poll") {
                EXPECT_EQ(program.text(ChildProcess::Out), "") << "nothing reported when stopped";
            }
            EXPECT_EQ(program.lines(ChildProcess::Err).back(),
                      "qn480ctl: stopped by " + std::string(c.signal == SIGINT    ? "SIGINT"
                                                            : c.signal == SIGTERM ? "SIGTERM"
                                                                                  : "SIGHUP"));
        }
        // The transaction in progress finished: the request after it never went out.
        if (c.slowReader) {
            EXPECT_EQ(sim.received("AA 00 04 00 00 00 12 16"), 0);
        }
        EXPECT_EQ(sim.received(kCarrierOff), c.carrierOffs);
    }

    // An exception, such as a profile number beyond double's range, ends in order too: one
    // line, no abort, and the port as it was found.
    {
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        const PortState port(sim.device());
        const std::string profile =
            (std::filesystem::path(sim.device()).parent_path() / "huge.json").string();
        std::ofstream(profile) << R"({"send_time": 1e999})";
        const Finished load = ctl({"-d", sim.device(), "keypad", "load", profile});
        EXPECT_GE(load.code, 1);
        EXPECT_LE(load.code, 2);
        EXPECT_EQ(load.errLines().size(), 1u) << load.err;
        EXPECT_EQ(port.changes(), "");
    }

    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(sim.stop(signal), 0) << signal;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.device())));
    }
    // A profile's FIFO or pipe that nobody opens or writes ends at a stop signal too.
    struct Wait
    {
        std::string name;
        std::vector<std::string> args;
        std::string after; // the last request before the wait; "": none goes out
    };
    const std::vector<Wait> waits{
        {"load from a FIFO without a writer", {"keypad", "load", "FIFO"}, ""},
        {"load from a pipe that stays silent", {"keypad", "load", "-"}, ""},
        {"save to a FIFO without a reader", {"keypad", "save", "FIFO"}, "AA 00 04 00 00 00 16 12"},
    };
    for (const Wait &w : waits) {
        SCOPED_TRACE(w.name);
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        const PortState port(sim.device());
        const std::string fifo =
            (std::filesystem::path(sim.device()).parent_path() / "profile.fifo").string();
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::vector<std::string> args{"--device", sim.device()};
        for (const std::string &arg : w.args)
            args.push_back(arg == "FIFO" ? fifo : arg);
        ChildProcess program(kCtl, args);
        if (w.after.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        else
            ASSERT_TRUE(sim.sawRequest(w.after));
        program.signal(SIGTERM);
        EXPECT_EQ(program.wait(), 128 + SIGTERM) << program.text(ChildProcess::Err);
        EXPECT_EQ(program.lines(ChildProcess::Err).back(), "qn480ctl: stopped by SIGTERM");
        EXPECT_EQ(port.changes(), "");
    }
}

// Runs qn480ctl with each of its standard descriptors dup'ed from `fds`, or closed where -1;
// returns the exit code.
int runWithDescriptors(const std::vector<std::string> &args, const std::array<int, 3> &fds,
                       const std::vector<std::string> &env = {}, bool childSignalIgnored = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 3; ++i) {
            if (fds[static_cast<std::size_t>(i)] < 0)
                ::close(i);
            else
                dup2(fds[static_cast<std::size_t>(i)], i);
        }
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            std::signal(number, SIG_DFL);
        if (childSignalIgnored)
            std::signal(SIGCHLD, SIG_IGN);
        for (const std::string &entry : env)
            putenv(const_cast<char *>(entry.c_str()));
        std::vector<char *> argv{const_cast<char *>(kCtl.c_str())};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(kCtl.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> fileLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(QnCtlProgram, APollsEndRemovesTheCardStillOnTheReader)
{
    // Ended by -n: stdout keeps its N lines, while the log and the action get the removal.
    // Started with SIGCHLD ignored, it still tells the action's failure.
    {
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        const PrivateDir dir("qn480ctl-closing");
        const std::string log = dir / "cards.jsonl";
        const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(runWithDescriptors({"-d", sim.device(), "poll", "14a", "-n1", "--log", log,
                                      "--on-removed", "exit 3"},
                                     {STDIN_FILENO, out, err}, {}, true),
                  0);
        ::close(out);
        ::close(err);
        EXPECT_EQ(untimed(fileLines(dir / "out")), std::vector<std::string>{kClassic});
        const auto logged = fileLines(log);
        ASSERT_EQ(logged.size(), 2u);
        const auto removed = nlohmann::json::parse(logged[1]);
        EXPECT_EQ(removed["event"], "removed");
        EXPECT_EQ(removed["cause"], "stopped");
        EXPECT_EQ(removed["seq"], 2);
        const auto told = fileLines(dir / "err");
        EXPECT_NE(std::find(told.begin(), told.end(),
                            "qn480ctl: action for removed nfcid=12345678 (seq 2) exited with 3"),
                  told.end());
    }
    // Ended by a signal or by an unplugged reader: the removal is printed like any event.
    for (const bool unplug : {false, true}) {
        SCOPED_TRACE(unplug ? "unplugged" : "SIGTERM");
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        ChildProcess poll(kCtl, {"-d", sim.device(), "poll", "14a"});
        ASSERT_EQ(untimed(poll.waitForLine(ChildProcess::Out, kAnyLine)), kClassic);
        if (unplug)
            sim.command("hangup");
        else
            poll.signal(SIGTERM);
        EXPECT_EQ(poll.wait(), unplug ? 3 : 0);
        EXPECT_EQ(untimed(poll.lines(ChildProcess::Out)),
                  (std::vector<std::string>{kClassic, std::string("removed nfcid=12345678 cause=") +
                                                          (unplug ? "lost" : "stopped")}));
    }
}

TEST(Descriptors, WithStandardOnesClosedTheReaderReceivesOnlyFrames)
{
    // A reader of our own that never answers, to see every byte that reaches it.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const PortState keeper(slave); // raw, and keeps the line up between runs
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);

    const std::vector<std::vector<int>> cases{{1}, {2}, {1, 2}, {0, 1, 2}};
    for (const auto &closed : cases) {
        std::array<int, 3> fds{null, null, null};
        std::string name;
        for (int fd : closed) {
            fds[static_cast<std::size_t>(fd)] = -1;
            name += std::to_string(fd) + " ";
        }
        SCOPED_TRACE("closed " + name);
        EXPECT_EQ(runWithDescriptors({"--trace", "--device", slave, "raw", "00", "10"}, fds), 4);
        std::vector<std::uint8_t> received;
        pollfd pfd{master, POLLIN, 0};
        while (poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN) != 0) {
            std::uint8_t buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            received.insert(received.end(), buf, buf + n);
        }
        EXPECT_EQ(hexText(received), kGetMode);
    }
    ::close(null);
    ::close(master);
}

TEST(Descriptors, AnOutputThatCannotBeWrittenExitsOneWithOneLine)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::vector<std::vector<std::string>> commands{
        {"--help"},
        {"ports"},
        {"--port", "COM42", "keypad", "get"},
        {"--port", "COM42", "raw", "00", "10"},
        {"udev-rule", "--help"},
    };
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    for (const bool closedPipe : {false, true}) {
        for (const auto &args : commands) {
            SCOPED_TRACE(args.back() + (closedPipe ? " into a closed pipe" : " into /dev/full"));
            int out[2];
            int err[2];
            ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
            ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
            ::close(out[0]);
            const int code = runWithDescriptors(
                args, {STDIN_FILENO, closedPipe ? out[1] : full, err[1]}, {sim.portsEntry()});
            ::close(out[1]);
            ::close(err[1]);
            std::string messages;
            char buf[4096];
            for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;)
                messages.append(buf, static_cast<std::size_t>(n));
            ::close(err[0]);
            EXPECT_EQ(code, 1);
            EXPECT_TRUE(startsWith(messages, "qn480ctl: cannot write the output: ")) << messages;
            EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
        }
    }
    ::close(full);
}

} // namespace
} // namespace qn480::testing
