// SPDX-License-Identifier: GPL-3.0-or-later
#include "actions.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

extern char **environ;

namespace qn480 {

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// How often a running action is looked at; it is a thread of its own, not the poll.
constexpr auto kLook = 10ms;

// Our environment without the event's variables, then the event's.
std::vector<std::string> environmentFor(const EventRecord &event, std::optional<UidForm> form)
{
    std::vector<std::string> env;
    for (char **entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, "QN480_", 6) != 0)
            env.emplace_back(*entry);
    }
    for (std::string &variable : actionEnvironment(event, form))
        env.push_back(std::move(variable));
    return env;
}

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
void closeTheRest(posix_spawn_file_actions_t &files)
{
    posix_spawn_file_actions_addclosefrom_np(&files, STDERR_FILENO + 1);
}
#else
// Without closefrom, each descriptor open now; one opened by another thread meanwhile
// is not seen.
void closeTheRest(posix_spawn_file_actions_t &files)
{
    std::vector<int> open;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(dir);
        while (const dirent *entry = ::readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            if (fd > STDERR_FILENO && fd != own)
                open.push_back(fd);
        }
        ::closedir(dir);
    }
    for (const int fd : open)
        posix_spawn_file_actions_addclose(&files, fd);
}
#endif

// True while a process of the group is still there.
bool groupAlive(pid_t group)
{
    return ::kill(-group, 0) == 0 || errno == EPERM;
}

} // namespace

void ActionRunner::run(const EventRecord &event, const std::string &command)
{
    std::vector<std::string> env = environmentFor(event, m_setup.uidForm);
    std::vector<char *> envp;
    for (std::string &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string text = command;
    char *argv[] = {shell.data(), dashC.data(), text.data(), nullptr};

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Its output never mixes into ours on stdout.
    posix_spawn_file_actions_adddup2(&files, m_setup.outputFd, STDOUT_FILENO);
    if (m_setup.outputFd != STDERR_FILENO)
        posix_spawn_file_actions_adddup2(&files, m_setup.outputFd, STDERR_FILENO);
    // Nothing else of ours: a background child of the action that kept the broker's socket
    // would keep a dead station online. This covers descriptors opened without
    // close-on-exec by libraries, or inherited, too.
    closeTheRest(files);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so that the time-out ends what the shell started too; signals we
    // ignore or block are the action's defaults again.
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXFSZ, SIGCHLD})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, shell.c_str(), &files, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        if (m_report)
            m_report({ActionOutcome::Kind::NotStarted, spawned, event});
        return;
    }

    const auto deadline = Steady::now() + m_setup.timeout;
    std::optional<Steady::time_point> killAt;
    bool timedOut = false;
    bool reaped = false;
    int status = 0;
    for (;;) {
        if (!reaped) {
            const pid_t done = ::waitpid(pid, &status, WNOHANG);
            reaped = done == pid || (done < 0 && errno != EINTR);
        }
        // Once ended, the group still gets its SIGKILL after the grace time: the shell may
        // be gone while what it started ignores SIGTERM. The group keeps the shell's id.
        if (reaped && (!killAt || !groupAlive(pid)))
            break;
        const auto now = Steady::now();
        bool abandoned = false;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, kLook, [this] { return m_abandoned; });
            abandoned = m_abandoned;
        }
        if (!killAt && (now >= deadline || abandoned)) {
            timedOut = !abandoned;
            ::kill(-pid, SIGTERM);
            killAt = now + (abandoned ? std::chrono::milliseconds(0) : m_setup.killAfter);
        } else if (killAt && now >= *killAt) {
            ::kill(-pid, SIGKILL);
            if (reaped)
                break;
        }
    }
    if (!m_report)
        return;
    if (timedOut)
        m_report({ActionOutcome::Kind::TimedOut, 0, event});
    else if (WIFSIGNALED(status))
        m_report({ActionOutcome::Kind::Signalled, WTERMSIG(status), event});
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        m_report({ActionOutcome::Kind::Failed, WEXITSTATUS(status), event});
}

} // namespace qn480
