// SPDX-License-Identifier: GPL-3.0-or-later
#include "process_guard.h"

// Windows: a console's Ctrl-C and Ctrl-Break arrive as SIGINT and SIGBREAK through the C
// runtime; there is no pipe to wake a waiting loop, which looks at stopSignal() instead.
namespace qn480 {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;

void onStopSignal(int number)
{
    if (g_stopSignal == 0)
        g_stopSignal = number;
}

} // namespace

void openMissingStandardDescriptors() {}

int catchStopSignals()
{
    for (int number : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(number, onStopSignal) == SIG_IGN)
            std::signal(number, SIG_IGN);
    }
    return -1;
}

const volatile std::sig_atomic_t &stopSignal()
{
    return g_stopSignal;
}

void drainStopSignals() {}

bool readerGone(int)
{
    return false;
}

std::string signalName(int number)
{
    switch (number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGBREAK:
        return "SIGBREAK";
    default:
        return "signal " + std::to_string(number);
    }
}

} // namespace qn480
