// SPDX-License-Identifier: GPL-3.0-or-later
#include "child_process.h"
#include "text_files.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qn480::testing {

namespace {

// Only against a hang of the program under test; nothing is measured with it.
constexpr std::chrono::seconds kHangGuard{30};

} // namespace

void execProgram(const std::string &path, const std::vector<std::string> &args,
                 const std::vector<std::string> &env)
{
    // The test runner may ignore these; the program must get them as a shell gives them.
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        std::signal(number, SIG_DFL);
    for (const std::string &entry : env)
        putenv(const_cast<char *>(entry.c_str()));
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

ChildProcess::ChildProcess(const std::string &path, const std::vector<std::string> &args,
                           const std::vector<std::string> &env)
{
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    m_pid = fork();
    if (m_pid < 0)
        throw std::runtime_error("fork");
    if (m_pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execProgram(path, args, env);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    m_stdin = in[1];
    m_fds[Out] = out[0];
    m_fds[Err] = err[0];
    m_reader = std::thread([this] { collect(); });
}

ChildProcess::~ChildProcess()
{
    if (m_status < 0 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    closeInput();
    if (m_reader.joinable())
        m_reader.join();
    for (int fd : m_fds)
        ::close(fd);
}

void ChildProcess::collect()
{
    bool open[2] = {true, true};
    while (open[Out] || open[Err]) {
        pollfd fds[2] = {{open[Out] ? m_fds[Out] : -1, POLLIN, 0},
                         {open[Err] ? m_fds[Err] : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int s : {Out, Err}) {
            if (!open[s] || fds[s].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(m_fds[s], buf, sizeof buf);
            std::lock_guard lock(m_mutex);
            if (n > 0) {
                m_text[s].append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                open[s] = false;
                m_ended[s] = true;
            }
            m_changed.notify_all();
        }
    }
}

void ChildProcess::send(const std::string &text)
{
    if (::write(m_stdin, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("write to child");
}

void ChildProcess::closeInput()
{
    if (m_stdin >= 0)
        ::close(m_stdin);
    m_stdin = -1;
}

void ChildProcess::signal(int number)
{
    if (m_pid > 0 && m_status < 0)
        kill(m_pid, number);
}

std::string ChildProcess::waitForLine(Stream stream,
                                      const std::function<bool(const std::string &)> &match)
{
    std::unique_lock lock(m_mutex);
    std::size_t scanned = 0;
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    for (;;) {
        const std::string &text = m_text[stream];
        for (std::size_t eol; (eol = text.find('\n', scanned)) != std::string::npos;) {
            std::string line = text.substr(scanned, eol - scanned);
            scanned = eol + 1;
            if (match(line))
                return line;
        }
        if (m_ended[stream])
            return {};
        if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout)
            return {};
    }
}

std::string ChildProcess::waitForLineContaining(Stream stream, const std::string &text)
{
    return waitForLine(
        stream, [&](const std::string &line) { return line.find(text) != std::string::npos; });
}

int ChildProcess::wait()
{
    if (m_status < 0) {
        closeInput();
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (m_reader.joinable())
            m_reader.join();
    }
    return m_status;
}

std::string ChildProcess::text(Stream stream) const
{
    std::lock_guard lock(m_mutex);
    return m_text[stream];
}

std::vector<std::string> ChildProcess::lines(Stream stream) const
{
    return splitLines(text(stream));
}

std::vector<std::string> Finished::outLines() const
{
    return splitLines(out);
}

std::vector<std::string> Finished::errLines() const
{
    return splitLines(err);
}

Finished runToEnd(const std::string &path, const std::vector<std::string> &args,
                  const std::vector<std::string> &env)
{
    ChildProcess child(path, args, env);
    Finished done;
    done.code = child.wait();
    done.out = child.text(ChildProcess::Out);
    done.err = child.text(ChildProcess::Err);
    return done;
}

} // namespace qn480::testing
