// SPDX-License-Identifier: GPL-3.0-or-later
// CPU that the tool spends while its transactions wait on a reader that never answers:
// back-to-back time-outs for 10 s (or the seconds given), waiting as the window does, in a
// nested event loop that handles its messages. Target: at most 0.2 % of one core.

#include "faults.h"
#include "link.h"
#include "pty_server.h"
#include "reader_model.h"
#include "serial_port.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/resource.h>

namespace {

std::chrono::microseconds cpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

} // namespace

int main(int argc, char **argv)
{
    using namespace qn480;
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    // "--no-pump" leaves the window's messages out: the link alone, as qn480ctl waits.
    const bool pump = !(argc > 2 && std::string(argv[2]) == "--no-pump");

    // A pty whose reader side is never served: the requests go in, nothing comes back.
    sim::ReaderModel model;
    sim::FaultInjector faults;
    sim::PtyServer silent(model, faults);
    std::string error;
    if (!silent.open(&error)) {
        std::fprintf(stderr, "no pty: %s\n", error.c_str());
        return 1;
    }
    Link link;
    if (pump) {
        link.setPump([] { QCoreApplication::processEvents(); });
        link.useEventLoop(true);
    }
    OpenFailure failure;
    if (!OpenPort(link, {{"COM20", 20, silent.slavePath(), ""}}, 20, kReaderSettings, &failure)) {
        std::fprintf(stderr, "cannot open the pty: %s\n", failure.reason.c_str());
        return 1;
    }

    const auto wallStart = std::chrono::steady_clock::now();
    const auto cpuStart = cpuTime();
    const auto length = std::chrono::duration<double>(seconds);
    int transactions = 0;
    int timeOuts = 0;
    while (std::chrono::steady_clock::now() - wallStart < length) {
        ++transactions;
        timeOuts += link.transact(0x0A, 0x10).result == TransactionResult::TimeOut ? 1 : 0;
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    const std::chrono::duration<double> cpu = cpuTime() - cpuStart;
    std::printf("waiting on a silent reader: %.3f %% of one core (%.3f s CPU in %.2f s, "
                "%d transactions, %d timed out)\n",
                100.0 * cpu.count() / wall.count(), cpu.count(), wall.count(), transactions,
                timeOuts);
    ClosePort(link);
    return 0;
}
