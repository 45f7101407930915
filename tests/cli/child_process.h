// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A program run as a user runs it: arguments, environment, standard input, and its two
// output streams collected by a thread so that neither can fill up and stall it.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace qn480::testing {

// In a forked child: becomes `path` with `args`, the `env` entries added to the environment;
// exit code 127 when it cannot.
[[noreturn]] void execProgram(const std::string &path, const std::vector<std::string> &args,
                              const std::vector<std::string> &env);

class ChildProcess
{
public:
    enum Stream { Out = 0, Err = 1 };

    // `env` entries (NAME=value) are added to this process's environment.
    ChildProcess(const std::string &path, const std::vector<std::string> &args,
                 const std::vector<std::string> &env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    void send(const std::string &text);
    void closeInput();
    void signal(int number);

    // Waits until a line of `stream` satisfies `match` and returns it; "" when the stream
    // ends first (or after a guard of many seconds against a hang).
    std::string waitForLine(Stream stream, const std::function<bool(const std::string &)> &match);
    std::string waitForLineContaining(Stream stream, const std::string &text);

    // Waits for the exit and for both streams to end; the exit code, or 128 + the signal.
    int wait();
    // What the stream has shown so far (all of it after wait()).
    std::string text(Stream stream) const;
    std::vector<std::string> lines(Stream stream) const;

private:
    void collect();

    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_fds[2] = {-1, -1};
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_text[2];
    bool m_ended[2] = {false, false};
    int m_status = -1;
};

// Runs a program to its end and keeps what it printed.
struct Finished
{
    int code = -1;
    std::string out;
    std::string err;
    std::vector<std::string> outLines() const;
    std::vector<std::string> errLines() const;
};
Finished runToEnd(const std::string &path, const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {});

} // namespace qn480::testing
