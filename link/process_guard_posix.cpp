// SPDX-License-Identifier: GPL-3.0-or-later
#include "process_guard.h"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qn480 {

namespace {

constexpr std::array kStopSignals{SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t g_stopSignal = 0;
int g_pipe[2] = {-1, -1};

void onStopSignal(int number)
{
    const int savedErrno = errno;
    if (g_stopSignal == 0)
        g_stopSignal = number;
    // Non-blocking: a full pipe already wakes its reader.
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const auto written = ::write(g_pipe[1], &byte, 1);
    errno = savedErrno;
}

bool makePipe()
{
    if (g_pipe[0] >= 0)
        return true;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (int fd : fds) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    return true;
}

} // namespace

void openMissingStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() takes the lowest free number, which is this one.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > fd) {
            dup2(opened, fd);
            ::close(opened);
        }
    }
}

int catchStopSignals()
{
    const bool piped = makePipe();
    sigset_t stops;
    sigemptyset(&stops);
    for (int number : kStopSignals) {
        struct sigaction old
        {};
        sigaction(number, nullptr, &old);
        if (old.sa_handler == SIG_IGN)
            continue;
        struct sigaction action
        {};
        action.sa_handler = onStopSignal;
        // Restarted, so that no write to the output or the port fails half-way on EINTR; a
        // wait that a stop must end (a FIFO, a pipe, the port) polls the pipe instead, and
        // poll() is never restarted.
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, nullptr);
        sigaddset(&stops, number);
    }
    // A mask inherited from the parent would keep them from ever arriving.
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    return piped ? g_pipe[0] : -1;
}

void setUpChildAndWriteSignals()
{
    std::signal(SIGCHLD, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

const volatile std::sig_atomic_t &stopSignal()
{
    return g_stopSignal;
}

void drainStopSignals()
{
    if (g_pipe[0] < 0)
        return;
    char buf[64];
    while (::read(g_pipe[0], buf, sizeof buf) > 0) {
    }
}

bool stopPending(int stopFd)
{
    if (stopFd < 0)
        return false;
    pollfd signalled{stopFd, POLLIN, 0};
    return ::poll(&signalled, 1, 0) > 0;
}

bool readerGone(int fd)
{
    pollfd pfd{fd, 0, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
}

std::string signalName(int number)
{
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal " + std::to_string(number);
    }
}

} // namespace qn480
