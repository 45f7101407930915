// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl as a script runs it, against qn480-sim on a pseudo-terminal: what needs a real
// process and a real port. Exit codes, signals, the port left as it was found, --wait
// through an unplug, and the standard descriptors closed or unwritable.

#include "child_process.h"
#include "fake_reader.h"
#include "private_dir.h"
#include "text_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A simulated reader on a pty, reachable at a fixed path and as COM42 through QN480_PORTS.
class Simulator
{
public:
    explicit Simulator(std::vector<std::string> options = {})
        : m_link(m_dir / "reader")
    {
        options.insert(options.end(), {"--link", m_link, "--com", "42", "--log"});
        m_process = std::make_unique<ChildProcess>(kSim, options);
        m_ready = !m_process->waitForLineContaining(ChildProcess::Out, "QN480_PORTS=").empty();
    }

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

    // Stops the simulator; returns how many times it received the request `frame` ("": any).
    int received(const std::string &frame)
    {
        m_process->signal(SIGTERM);
        m_process->wait();
        const auto log = m_process->lines(ChildProcess::Err);
        return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const std::string &l) {
            return frame.empty() ? l.find(">> ") != std::string::npos : l.ends_with(">> " + frame);
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

// --probe: the simulator answers as a reader, a pty with nobody behind it does not, and a
// port another program holds is left alone and said so. Each free port gets one Get.
TEST(QnCtlProgram, ProbesEveryPortItMayOpenAndLeavesAHeldOneAlone)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
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
    EXPECT_EQ(silent.received(), kGetMode);
    EXPECT_EQ(sim.received(""), 1);
}

// The simulator's cards, each air interface's and Type A's cascade levels, as a poll prints
// them; every pass names the card's type, and nothing else reaches stderr.
TEST(QnCtlProgram, PollsEverySimulatedCard)
{
    struct Case
    {
        std::string card; // the simulator's --card; "": its default cards
        std::string air;
        std::string line;
    };
    const std::vector<Case> cases{
        {"", "14a", kClassic},
        {"ultralight", "14a",
         "present nfcid=04A1B2C3D4E5F6 atqa=4400 sak=00 type=Mifare Ultralight"},
        {"14a:uid=0102030405060708090A,atqa=4403,sak=20,ats=067577810280", "14a",
         "present nfcid=0102030405060708090A atqa=4403 sak=20 ats=067577810280 "
         "type=Mifare DESFire"},
        {"", "14b", "present pupi=1A2B3C4D app_data=00000000 info=008171"},
        {"", "felica", "present idm=0102030405060708 slot=00 sub_response=01"},
        {"", "15693", "present uid_msb=8877665544332211 dsfid=00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.card + " " + c.air);
        Simulator sim(c.card.empty() ? std::vector<std::string>{}
                                     : std::vector<std::string>{"--card", c.card});
        ASSERT_TRUE(sim.ready());
        const Finished done = ctl({"-d", sim.device(), "poll", c.air, "-n1"});
        EXPECT_EQ(done.code, 0);
        EXPECT_EQ(untimed(done.outLines()), std::vector<std::string>{c.line});
        if (c.air == "14a") {
            EXPECT_EQ(done.errLines().size(), 3u) << done.err;
        }
        EXPECT_EQ(sim.received(kCarrierOff), 1);
    }
}

// What keypad set, defaults, save and load write is what the simulated reader then holds.
TEST(QnCtlProgram, KeypadSettingsGoRoundTheReader)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::string profile =
        (std::filesystem::path(sim.device()).parent_path() / "line3.json").string();
    const auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--device", sim.device()});
        const Finished done = ctl(args);
        EXPECT_EQ(done.code, 0) << args[3] << ": " << done.err;
        return done.out;
    };

    run({"keypad", "set", "--mode", "autoread,led", "--types", "14a,15693", "--format", "13D",
         "--reverse", "byte", "--add", "comma,tab", "--send-time", "7", "--scan-time", "200",
         "--same-card-time", "0"});
    const std::string held = run({"keypad", "get", "--json"});
    EXPECT_EQ(held, R"({"mode":["autoread","led"],"types":["14a","15693"],"format":"13D",)"
                    R"("reverse":"byte","add":["comma","tab"],"send_time":7,"send_time_ms":7,)"
                    R"("scan_time":200,"scan_time_ms":2000,"same_card_time":0,)"
                    R"("same_card_time_ms":0,"errors":{}})"
                    "\n");
    run({"keypad", "save", profile});
    EXPECT_NE(run({"keypad", "defaults"}).find("format: 8H\n"), std::string::npos);
    run({"keypad", "load", profile});
    EXPECT_EQ(run({"keypad", "get", "--json"}), held);
    // keypad get --json is itself a profile.
    std::ofstream(profile) << held;
    run({"keypad", "load", profile});
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

    // A command that reads takes the only port in the list and names it.
    const Finished only = ctl({"keypad", "get"}, {sim.portsEntry()});
    if (only.code == 2)
        GTEST_SKIP() << "this machine has serial ports of its own";
    EXPECT_EQ(only.code, 0);
    EXPECT_EQ(only.errLines(), std::vector<std::string>{"qn480ctl: using COM42 (" + sim.device() +
                                                        "), the only serial port"});
}

// The process's exit code and its last line on stderr for each way a run ends: 1 the reader
// refused, 2 a bad command line or profile (one line, nothing printed, nothing sent), 3 the
// port, 4 no answer; the port is left as it was found every time.
TEST(QnCtlProgram, ExitCodesTellEachWayARunEnds)
{
    const PrivateDir dir("qn480ctl-exit");
    // A FIFO as the log would hold the poll until something read it.
    const std::string fifo = dir / "cards.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir / "huge.json";
    std::ofstream(huge) << R"({"send_time": 1e999})";
    struct Case
    {
        std::vector<std::string> sim;  // the simulator's options; {"none"}: no simulator
        std::vector<std::string> args; // DEV: the simulator's device
        int code;
        std::string err; // the start of stderr's last line; "": none
    };
    const std::string dev = "DEV";
    const std::string lost = "qn480ctl: the reader on DEV was disconnected (unplugged or hung up)";
    const std::vector<Case> cases{
        {{"none"}, {"-V"}, 0, ""},
        // With the carrier off no card answers: the reader's own error.
        {{}, {"-d", dev, "raw", "0A", "10"}, 1, ""},
        {{"none"}, {"poll", "14a", "--log", fifo, "-d", fifo}, 2, "qn480ctl: "},
        {{"none"}, {std::string("poll\xff"), "\x01"}, 2, "qn480ctl: unknown command \"poll"},
        // A profile refused sends nothing; once an exception that ended in an abort.
        {{}, {"-d", dev, "keypad", "load", huge}, 2, "qn480ctl: profile " + huge + ": not a JSON"},
        // The profile is read before the port is opened: without a reader, the file is named.
        {{"none"},
         {"-d", dir / "no-reader", "keypad", "load", dir / "none.json"},
         2,
         "qn480ctl: cannot read " + (dir / "none.json") + ": No such file or directory"},
        {{"none"},
         {"--device", "/nonexistent/qn480", "keypad", "get"},
         3,
         "qn480ctl: cannot open /nonexistent/qn480: no such device: /nonexistent/qn480"},
        {{},
         {"--port", "COM43", "keypad", "get"},
         3,
         "qn480ctl: cannot open COM43: COM43 is not in the port list"},
        // The reader hangs up instead of its first answer.
        {{"--hangup", "1"}, {"-d", dev, "poll", "14a"}, 3, lost},
        {{"--hangup", "1"}, {"-d", dev, "keypad", "get"}, 3, lost},
        {{"--hangup", "1"}, {"-d", dev, "raw", "00", "10"}, 3, lost},
        {{"--drop", "1"}, {"-d", dev, "keypad", "get"}, 4, "qn480ctl: get same_card_time: "},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &arg : c.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        std::optional<Simulator> sim;
        std::optional<PortState> port;
        if (c.sim != std::vector<std::string>{"none"}) {
            sim.emplace(c.sim);
            ASSERT_TRUE(sim->ready());
            if (c.code != 3) // a hung-up pty has no settings left to look at
                port.emplace(sim->device());
        }
        const auto named = [&](std::string text) {
            for (std::size_t at; sim && (at = text.find(dev)) != std::string::npos;)
                text.replace(at, dev.size(), sim->device());
            return text;
        };
        std::vector<std::string> args;
        for (const std::string &arg : c.args)
            args.push_back(named(arg));
        const Finished done =
            ctl(args, sim ? std::vector{sim->portsEntry()} : std::vector<std::string>{});
        EXPECT_EQ(done.code, c.code) << done.err;
        if (!c.err.empty()) {
            ASSERT_FALSE(done.errLines().empty());
            EXPECT_TRUE(done.errLines().back().starts_with(named(c.err))) << done.err;
        }
        if (c.code == 2 || c.code == 3) {
            EXPECT_EQ(done.out, "");
        }
        if (c.code == 2) {
            EXPECT_EQ(done.errLines().size(), 1u) << done.err;
        }
        if (port) {
            EXPECT_EQ(port->changes(), "");
        }
        if (sim && c.code == 2) {
            EXPECT_EQ(sim->received(""), 0);
        }
        if (c.code == 0) {
            EXPECT_EQ(done.err, "");
        }
    }

    // A second program cannot take the port while a poll holds it.
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    ChildProcess poll(kCtl, {"--device", sim.device(), "poll", "14a"});
    ASSERT_EQ(untimed(poll.waitForLineContaining(ChildProcess::Out, "")), kClassic);
    const Finished busy = ctl({"--device", sim.device(), "keypad", "get"});
    EXPECT_EQ(busy.code, 3);
    EXPECT_EQ(busy.errLines().size(), 1u);
    EXPECT_NE(busy.err.find(" in use"), std::string::npos) << busy.err;
    poll.signal(SIGINT);
    EXPECT_EQ(poll.wait(), 0);
}

TEST(QnCtlProgram, WithWaitAReaderThatIsNotThereOrGoneIsWaitedFor)
{
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    const std::string later = sim.device() + "-later";
    // A reader there but not to be opened yet, whatever the reason: held by a prober, not yet
    // a terminal, not yet ours (udev sets the group a moment later; root is never refused).
    // Each reason is told once, and the command goes on when it is gone.
    const std::string pts = std::filesystem::read_symlink(sim.device()).string();
    struct Blocked
    {
        std::string name;
        std::function<void()> block;
        std::function<void()> unblock;
        std::string reason;
    };
    std::optional<Holder> prober;
    std::vector<Blocked> blocked{
        {"busy", [&] { prober.emplace(pts); }, [&] { prober.reset(); }, " in use"},
        {"not a terminal",
         [&] {
             unlink(later.c_str());
             std::ofstream(later) << "";
         },
         [&] { pointLink(later, pts); }, "cannot open " + later + ": "},
    };
    if (geteuid() != 0) {
        blocked.push_back({"no permission", [&] { chmod(pts.c_str(), 0); },
                           [&] { chmod(pts.c_str(), S_IRUSR | S_IWUSR | S_IWGRP); },
                           "permission denied"});
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
        EXPECT_NE(first.text(ChildProcess::Err).find(later + " is there; going on"),
                  std::string::npos);
        unlink(later.c_str());
    }

    // ... and one unplugged mid-poll is waited for to come back; the poll goes on where it
    // was: the card still lying there is not a new one, the next one is.
    ChildProcess poll(kCtl, {"-w", "-d", sim.device(), "poll", "14a", "-n", "2"});
    ASSERT_EQ(untimed(poll.waitForLineContaining(ChildProcess::Out, "")), kClassic);
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

TEST(Signals, EveryProgramEndsInOrderAndGivesThePortBack)
{
    struct Case
    {
        std::string name;
        std::string program;
        std::vector<std::string> args;
        bool slowReader;    // answers 300 ms late, so that the signal comes mid-transaction
        std::string during; // the request after which the signal is sent; "": a moment
        int signal;
        int code;
        int carrierOffs;
    };
    const std::vector<std::string> poll{"--port", "COM42", "poll", "14a"};
    const std::vector<std::string> get{"--port", "COM42", "keypad", "get"};
    const std::vector<std::string> raw{"--port", "COM42", "raw", "00", "10"};
    const std::vector<std::string> set{"--port", "COM42", "keypad",      "set",
                                       "--mode", "beep",  "--send-time", "7"};
    const std::vector<std::string> load{"--port", "COM42", "keypad", "load", "FIFO"};
    const std::vector<std::string> save{"--port", "COM42", "keypad", "save", "FIFO"};
    const std::vector<std::string> pipe{"--port", "COM42", "keypad", "load", "-"};
    const std::vector<std::string> remote{"keypad",   "load", "-", "--mqtt", "mqtt://127.0.0.1:9/p",
                                          "--reader", "r"};
    const std::string request = "AA 00 04 00 00 0A 10";
    const std::vector<Case> cases{
        {"poll", kCtl, poll, false, request, SIGINT, 0, 1},
        {"poll", kCtl, poll, false, request, SIGTERM, 0, 1},
        {"poll", kCtl, poll, false, request, SIGHUP, 128 + SIGHUP, 1},
        {"keypad get", kCtl, get, true, kGetMode, SIGINT, 128 + SIGINT, 0},
        {"raw", kCtl, raw, true, kGetMode, SIGTERM, 128 + SIGTERM, 0},
        // A write sequence finishes its Sets first, then stops without reading back.
        {"keypad set", kCtl, set, true, "AA 00 05 00 00 00 11 02 16", SIGTERM, 128 + SIGTERM, 0},
        // A profile's FIFO or pipe that nobody opens or writes ends at a stop signal too.
        {"load from a FIFO without a writer", kCtl, load, false, "", SIGTERM, 128 + SIGTERM, 0},
        {"load from a silent pipe", kCtl, pipe, false, "", SIGTERM, 128 + SIGTERM, 0},
        {"load for a station from a silent pipe", kCtl, remote, false, "", SIGTERM, 128 + SIGTERM,
         0},
        {"save to a FIFO without a reader", kCtl, save, false, "AA 00 04 00 00 00 16 12", SIGTERM,
         128 + SIGTERM, 0},
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
        const std::string fifo =
            (std::filesystem::path(sim.device()).parent_path() / "profile.fifo").string();
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::vector<std::string> args;
        for (const std::string &arg : c.args)
            args.push_back(arg == "FIFO" ? fifo : arg);
        ChildProcess program(c.program, args, {sim.portsEntry()});
        if (c.during.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        else
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

    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Simulator sim;
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(sim.stop(signal), 0) << signal;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sim.device())));
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
        if (childSignalIgnored)
            std::signal(SIGCHLD, SIG_IGN);
        execProgram(kCtl, args, env);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A poll's end removes the card still on the reader. Ended by -n, stdout keeps its N lines
// while the log and the action get the removal; started with SIGCHLD ignored, it still tells
// the action's failure. Ended by an unplugged reader, the removal is printed like any event.
TEST(QnCtlProgram, APollsEndRemovesTheCardStillOnTheReader)
{
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
        EXPECT_EQ(untimed(splitLines(readFile(dir / "out"))), std::vector<std::string>{kClassic});
        const auto logged = splitLines(readFile(log));
        ASSERT_EQ(logged.size(), 2u);
        const auto removed = nlohmann::json::parse(logged[1]);
        EXPECT_EQ(removed["event"], "removed");
        EXPECT_EQ(removed["cause"], "stopped");
        EXPECT_EQ(removed["seq"], 2);
        EXPECT_NE(readFile(dir / "err")
                      .find("qn480ctl: action for removed nfcid=12345678 (seq 2) exited with 3\n"),
                  std::string::npos);
    }
    Simulator sim;
    ASSERT_TRUE(sim.ready());
    ChildProcess poll(kCtl, {"-d", sim.device(), "poll", "14a"});
    ASSERT_EQ(untimed(poll.waitForLineContaining(ChildProcess::Out, "")), kClassic);
    sim.command("hangup");
    EXPECT_EQ(poll.wait(), 3);
    EXPECT_EQ(untimed(poll.lines(ChildProcess::Out)),
              (std::vector<std::string>{kClassic, "removed nfcid=12345678 cause=lost"}));
}

TEST(Descriptors, WithStandardOnesClosedTheReaderReceivesOnlyFrames)
{
    // A reader of our own that never answers, to see every byte that reaches it.
    const SilentPty reader;
    const PortState keeper(reader.path()); // raw, and keeps the line up between runs
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
        EXPECT_EQ(
            runWithDescriptors({"--trace", "--device", reader.path(), "raw", "00", "10"}, fds), 4);
        EXPECT_EQ(reader.received(), kGetMode);
    }
    ::close(null);
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
            EXPECT_TRUE(messages.starts_with("qn480ctl: cannot write the output: ")) << messages;
            EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
        }
    }
    ::close(full);
}

} // namespace
} // namespace qn480::testing
