// SPDX-License-Identifier: GPL-3.0-or-later
// The qn480-sim program as a user starts it: options, the printed QN480_PORTS entry, the
// commands on standard input and a clean exit.

#include "link.h"
#include "port_list.h"
#include "serial_port.h"

#include "child_process.h"
#include "fake_reader.h"
#include "private_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qn480 {
namespace {

using qn480::testing::ChildProcess;
using qn480::testing::hexText;
using qn480::testing::PrivateDir;

// qn480-sim as a user starts it, each of its streams read line by line.
class SimProcess : public ChildProcess
{
public:
    explicit SimProcess(const std::vector<std::string> &args)
        : ChildProcess(QN480_SIM_PATH, args)
    {}

    // The stream's next line, or "" when none comes.
    std::string line(Stream stream = Out)
    {
        std::size_t seen = 0;
        const std::size_t next = m_taken[stream]++;
        return waitForLine(stream, [&](const std::string &) { return seen++ == next; });
    }
    // Reads standard output until a line starts with `prefix`; returns it, or "" at the end.
    std::string lineStarting(const std::string &prefix)
    {
        for (std::string text = line(); !text.empty(); text = line()) {
            if (text.starts_with(prefix))
                return text;
        }
        return {};
    }
    // Sends SIGTERM and returns the exit code.
    int terminate()
    {
        signal(SIGTERM);
        return wait();
    }

private:
    std::size_t m_taken[2] = {0, 0};
};

std::string data(const Reply &reply)
{
    return hexText(std::span(reply.response.Data)
                       .first(static_cast<std::size_t>(std::max(reply.response.DataLength, 0))));
}

TEST(SimProgram, PrintsItsPortTakesCardsAndCommandsAndCleansUp)
{
    const PrivateDir dir("qn480-sim-test");
    const std::string linkPath = dir / "reader";

    SimProcess sim({"--card", "desfire", "--card", "14b:pupi=01020304", "--card",
                    "15693:uid=E004010203040506", "--link", linkPath, "--com", "42"});
    const std::string entry = sim.lineStarting("QN480_PORTS=");
    ASSERT_EQ(entry, "QN480_PORTS=COM42=" + linkPath);
    ASSERT_FALSE(sim.lineStarting("card 3").empty());

    // Through the environment variable and the port list, as the tool finds it.
    ::setenv("QN480_PORTS", entry.substr(std::string("QN480_PORTS=").size()).c_str(), 1);
    const auto ports = listPorts();
    ::setenv("QN480_PORTS", "", 1);
    Link link;
    OpenFailure failure;
    ASSERT_TRUE(OpenPort(link, ports, 42, kReaderSettings, &failure)) << failure.reason;

    // The cards given, and only those (each card's answers are the model's own test).
    EXPECT_EQ(link.transact(0x00, 0x30).response.Status, 0x01);
    EXPECT_EQ(data(link.transact(0x0A, 0x10)), "44 03");
    EXPECT_EQ(
        link.transact(0x0C, 0x10, std::vector<std::uint8_t>{0xFF, 0xFF, 0, 0}).response.Status,
        0xE0)
        << "no FeliCa card was placed";

    sim.send("remove 1\n");
    ASSERT_FALSE(sim.lineStarting("card 1 out").empty());
    EXPECT_EQ(link.transact(0x0A, 0x10).response.Status, 0xE0);
    sim.send("place all\n");
    ASSERT_FALSE(sim.lineStarting("card 1 in").empty());
    EXPECT_EQ(data(link.transact(0x0A, 0x10)), "44 03");

    // Hung up: the link is gone before the pty closes, so that it never leads to another
    // program's pty that takes the freed number; it leads to the new pty once that is ready.
    sim.send("hangup\n");
    TransactionResult result = TransactionResult::Frame;
    for (int i = 0; i < 100 && result == TransactionResult::Frame; ++i)
        result = link.transact(0x00, 0x10).result;
    ASSERT_EQ(result, TransactionResult::DeviceLost);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkPath)))
        << "the link outlived its pty";
    ClosePort(link);
    const std::string back = sim.lineStarting("qn480-sim: reader on ");
    ASSERT_EQ(sim.line(), entry);
    EXPECT_EQ(back, "qn480-sim: reader on " + std::filesystem::read_symlink(linkPath).string() +
                        " (link " + linkPath + ")");
    ASSERT_TRUE(OpenPort(link, ports, 42, kReaderSettings, &failure)) << failure.reason;

    // Without standard input it serves on.
    sim.closeInput();
    EXPECT_EQ(link.transact(0x0A, 0x10).result, TransactionResult::Frame);

    ClosePort(link);
    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(linkPath)))
        << "the link goes with the simulator";
}

TEST(SimProgram, RefusesBadOptionsWithOneLine)
{
    const PrivateDir dir("qn480-sim-opts");
    const std::string udevLink = dir / "qn480";
    const std::string file = dir / "file";
    std::filesystem::create_symlink("/dev/ttyUSB0", udevLink);
    std::filesystem::create_symlink("/dev/pts/../tty", dir / "sly");
    {
        std::ofstream(file) << "keep";
    }
    // A running simulator's link is not taken over: the second one would leave the first
    // unreachable, and take the link with it when it quits.
    const std::string taken = dir / "taken";
    SimProcess first({"--link", taken});
    ASSERT_EQ(first.lineStarting("QN480_PORTS="), "QN480_PORTS=COM20=" + taken);
    const auto firstPty = std::filesystem::read_symlink(taken);

    const std::vector<std::vector<std::string>> cases{
        {"--card", "14z"},
        {"--drop", "2"},
        {"--bogus"},
        {"--card"},
        {"--com", "5abc"},
        {"--com", "0"},
        {"--com", " 5"},
        {"--seed", "abc"},
        {"--seed", "4294967296"},
        {"--delay-ms", "abc"},
        {"--delay-ms", "99999999999"},
        {"--delay-ms", "-0"},
        {"--drop", "nan"},
        {"--drop", "0.5x"},
        {"--link", udevLink},
        {"--link", file},
        {"--link", dir / "sly"},
        {"--link", taken},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        SimProcess sim(args);
        // One that wrongly serves on is stopped once its errors are told, not waited for.
        sim.waitForLine(ChildProcess::Err, [](const std::string &) { return false; });
        EXPECT_EQ(sim.terminate(), 2);
        EXPECT_TRUE(sim.text(ChildProcess::Out).empty());
        const auto lines = sim.lines(ChildProcess::Err);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with("qn480-sim: ")) << lines[0];
    }
    EXPECT_EQ(std::filesystem::read_symlink(udevLink), "/dev/ttyUSB0");
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(std::filesystem::read_symlink(taken), firstPty);
    EXPECT_EQ(first.terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(taken)));

    // A killed simulator's stale link, to a pty that no longer exists (a number beyond any
    // the kernel hands out), is replaced, and goes with the simulator.
    const std::string stale = dir / "stale";
    std::filesystem::create_symlink("/dev/pts/99999999", stale);
    SimProcess sim({"--link", stale});
    EXPECT_EQ(sim.lineStarting("QN480_PORTS="), "QN480_PORTS=COM20=" + stale);
    EXPECT_NE(std::filesystem::read_symlink(stale), "/dev/pts/99999999");
    EXPECT_EQ(sim.terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(stale)));
}

TEST(SimProgram, TellsItsVersionAndTakesCommandLinesBoundedAndNumbersWhole)
{
    SimProcess version({"--version"});
    EXPECT_EQ(version.line().rfind("qn480-sim ", 0), 0u);
    EXPECT_EQ(version.wait(), 0);

    SimProcess sim({});
    ASSERT_FALSE(sim.lineStarting("card 4").empty());

    sim.send(std::string(5000, 'x') + "\nlist\n");
    EXPECT_EQ(sim.line(ChildProcess::Err),
              "qn480-sim: dropping a command line longer than 4096 bytes");
    EXPECT_EQ(sim.line().rfind("card 1 in field", 0), 0u);
    ASSERT_FALSE(sim.lineStarting("card 4").empty());

    for (const char *bad : {"remove 5x", "remove 5", "place 0", "remove -1", "remove 1x1"}) {
        sim.send(std::string(bad) + "\n");
        const std::string verb(bad, std::string_view(bad).find(' '));
        EXPECT_EQ(sim.line().rfind(verb + ": no card \"", 0), 0u) << bad;
    }
    sim.send("remove 1 2\n");
    EXPECT_EQ(sim.line().rfind("commands: ", 0), 0u);
    sim.send("remove 1\n");
    EXPECT_EQ(sim.line().rfind("card 1 out", 0), 0u);
    ASSERT_FALSE(sim.lineStarting("card 4").empty());

    // Input that never ends a line (/dev/zero, say) is given up, not buffered.
    sim.send(std::string(4097 + (1 << 20), '\0'));
    EXPECT_EQ(sim.line(ChildProcess::Err),
              "qn480-sim: dropping a command line longer than 4096 bytes");
    EXPECT_EQ(sim.line(ChildProcess::Err),
              "qn480-sim: no line end in 1048576 bytes of standard input; no longer "
              "reading commands");
    EXPECT_EQ(sim.terminate(), 0);
}

} // namespace
} // namespace qn480
