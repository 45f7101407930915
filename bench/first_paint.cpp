// SPDX-License-Identifier: GPL-3.0-or-later
// Time from starting the tool to its first painted window, and the resident memory of the
// window once it idles. Each run starts a fresh process (this program again) that builds
// the window exactly as qn480-tool does and reports over a pipe when the window has been
// painted, then how much memory it holds after idling. Targets: 0.5 s and 80 MB.
//
//   qn480_bench_first_paint [RUNS]      (default 10)
//
// Run it on the display to be measured (xvfb-run, or QT_QPA_PLATFORM=offscreen).

#include "application.h"

#include <QEvent>
#include <QGuiApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int kDefaultRuns = 10;
constexpr auto kIdle = 2s;
constexpr const char *kPipeVariable = "QN480_BENCH_PAINT_FD";

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 16, '\n');
    }
    return -1;
}

// Tells the parent once the window's first paint is done, then once it has idled.
class PaintWatch final : public QObject
{
public:
    PaintWatch(QWidget &window, int fd)
        : QObject(&window)
        , m_window(window)
        , m_fd(fd)
    {
        window.installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_painted && watched == &m_window && event->type() == QEvent::Paint) {
            m_painted = true;
            // After the paint this event starts, and the children's, has been flushed.
            QTimer::singleShot(0, this, [this] {
                say("painted " + QGuiApplication::platformName().toStdString() + "\n");
                QTimer::singleShot(kIdle, this, [this] {
                    say("rss " + std::to_string(residentKiB()) + "\n");
                    m_window.close();
                });
            });
        }
        return false;
    }

private:
    void say(const std::string &line)
    {
        [[maybe_unused]] const auto n = ::write(m_fd, line.data(), line.size());
    }

    QWidget &m_window;
    int m_fd;
    bool m_painted = false;
};

int child(int argc, char **argv, int fd)
{
    qn480::Application app(argc, argv);
    return qn480::runMainWindow(app, {},
                                [fd](qn480::TfrmMain &window) { new PaintWatch(window, fd); });
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *fd = std::getenv(kPipeVariable))
        return child(argc, argv, std::atoi(fd));

    const int runs = argc > 1 ? std::max(std::atoi(argv[1]), 1) : kDefaultRuns;
    std::vector<double> paints;
    std::vector<double> residents;
    std::string platform;
    for (int i = 0; i < runs; ++i) {
        int fds[2];
        if (pipe(fds) < 0)
            return 1;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            ::close(fds[0]);
            setenv(kPipeVariable, std::to_string(fds[1]).c_str(), 1);
            char *args[] = {argv[0], nullptr};
            execv("/proc/self/exe", args);
            _exit(127);
        }
        ::close(fds[1]);
        std::string text;
        char buf[256];
        bool painted = false;
        ssize_t n = 0;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            if (!painted && text.find('\n') != std::string::npos) {
                painted = true;
                paints.push_back(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                        .count());
            }
        }
        ::close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        const auto at = text.find("painted ");
        const auto rss = text.find("rss ");
        if (at == std::string::npos || rss == std::string::npos) {
            std::fprintf(stderr, "run %d: the window never painted (%s)\n", i + 1, text.c_str());
            return 1;
        }
        platform = text.substr(at + 8, text.find('\n', at) - at - 8);
        residents.push_back(std::atof(text.c_str() + rss + 4) / 1024.0);
    }
    std::printf("first_paint median_s %.3f min_s %.3f max_s %.3f runs %d platform %s\n",
                median(paints), *std::min_element(paints.begin(), paints.end()),
                *std::max_element(paints.begin(), paints.end()), runs, platform.c_str());
    std::printf("idle_rss median_mib %.1f runs %d\n", median(residents), runs);
    return 0;
}
