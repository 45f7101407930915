// SPDX-License-Identifier: GPL-3.0-or-later
// The qn480-sim program as a user starts it: options, the printed QN480_PORTS entry, the
// commands on standard input and a clean exit.

#include "link.h"
#include "port_list.h"
#include "serial_port.h"

#include "fake_reader.h"
#include "private_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qn480 {
namespace {

using qn480::testing::hexText;
using qn480::testing::PrivateDir;

// Guards the test against a simulator that never prints; not a measure of anything.
constexpr int kLineGuardMs = 10000;

class SimProcess
{
public:
    explicit SimProcess(const std::vector<std::string> &args)
    {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            std::vector<char *> argv{const_cast<char *>(QN480_SIM_PATH)};
            for (const std::string &arg : args)
                argv.push_back(const_cast<char *>(arg.c_str()));
            argv.push_back(nullptr);
            execv(QN480_SIM_PATH, argv.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
    }
    ~SimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        closeInput();
        ::close(m_stdout);
    }

    // The next line of standard output, or "" when none comes.
    std::string line()
    {
        for (;;) {
            if (const auto eol = m_buffer.find('\n'); eol != std::string::npos) {
                std::string text = m_buffer.substr(0, eol);
                m_buffer.erase(0, eol + 1);
                return text;
            }
            pollfd pfd{m_stdout, POLLIN, 0};
            if (poll(&pfd, 1, kLineGuardMs) <= 0)
                return {};
            char buf[512];
            const ssize_t n = ::read(m_stdout, buf, sizeof buf);
            if (n <= 0)
                return {};
            m_buffer.append(buf, static_cast<std::size_t>(n));
        }
    }
    // Reads lines until one starts with `prefix`; returns it, or "" at the end.
    std::string lineStarting(const std::string &prefix)
    {
        for (std::string text = line(); !text.empty(); text = line()) {
            if (text.rfind(prefix, 0) == 0)
                return text;
        }
        return {};
    }
    void send(const std::string &text)
    {
        ASSERT_EQ(::write(m_stdin, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput()
    {
        if (m_stdin >= 0)
            ::close(m_stdin);
        m_stdin = -1;
    }
    // Sends SIGTERM and returns the exit status.
    int terminate()
    {
        kill(m_pid, SIGTERM);
        return wait();
    }
    int wait()
    {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffer;
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

    const std::uint8_t twoZeros[] = {0x00, 0x00};
    EXPECT_EQ(link.transact(0x00, 0x30).response.Status, 0x01);
    EXPECT_EQ(data(link.transact(0x0A, 0x10)), "44 03");
    EXPECT_EQ(data(link.transact(0x0B, 0x10, twoZeros)), "01 02 03 04 00 00 00 00 00 81 71");
    EXPECT_EQ(data(link.transact(0x0D, 0x10, twoZeros)), "00 E0 04 01 02 03 04 05 06");
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
    const int status = sim.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
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
        std::vector<std::string> lines;
        for (std::string text = sim.line(); !text.empty(); text = sim.line())
            lines.push_back(text);
        // One that wrongly serves on is stopped, not waited for.
        const int status = sim.terminate();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("qn480-sim: ", 0), 0u) << lines[0];
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
    const int status = sim.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(stale)));
}

TEST(SimProgram, TellsItsVersionAndTakesCommandLinesBoundedAndNumbersWhole)
{
    SimProcess version({"--version"});
    EXPECT_EQ(version.line().rfind("qn480-sim ", 0), 0u);
    EXPECT_EQ(version.wait(), 0); // exited, with 0

    SimProcess sim({});
    ASSERT_FALSE(sim.lineStarting("card 4").empty());

    sim.send(std::string(5000, 'x') + "\nlist\n");
    EXPECT_EQ(sim.line(), "qn480-sim: dropping a command line longer than 4096 bytes");
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
    EXPECT_EQ(sim.line(), "qn480-sim: dropping a command line longer than 4096 bytes");
    EXPECT_EQ(sim.line(), "qn480-sim: no line end in 1048576 bytes of standard input; no longer "
                          "reading commands");
    const int status = sim.terminate();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
} // namespace qn480
