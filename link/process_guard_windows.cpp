// SPDX-License-Identifier: GPL-3.0-or-later
#include "process_guard.h"

#include <windows.h>

// Windows: a console's Ctrl-C and Ctrl-Break come to a handler on a thread of their own,
// which notes them as SIGINT and SIGBREAK and sets an event that a waiting port also
// watches; its handle's value stands where POSIX gives the signal pipe.
namespace qn480 {

namespace {

volatile std::sig_atomic_t g_stopSignal = 0;
HANDLE g_stopEvent = nullptr;

void noteStop(int number)
{
    if (g_stopSignal == 0)
        g_stopSignal = number;
    if (g_stopEvent != nullptr)
        SetEvent(g_stopEvent);
}

BOOL WINAPI onConsoleEvent(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        noteStop(SIGINT);
        return TRUE; // the program ends its work in order
    case CTRL_BREAK_EVENT:
        noteStop(SIGBREAK);
        return TRUE;
    default:
        // Closing the console or logging off ends the process when the handlers return:
        // the next handler (an open port's) gives the port back first.
        noteStop(SIGTERM);
        return FALSE;
    }
}

void onStopSignal(int number)
{
    noteStop(number);
}

} // namespace

void openMissingStandardDescriptors() {}

int catchStopSignals()
{
    g_stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    if (std::signal(SIGTERM, onStopSignal) == SIG_IGN)
        std::signal(SIGTERM, SIG_IGN);
    return g_stopEvent != nullptr ? static_cast<int>(HandleToLong(g_stopEvent)) : -1;
}

void setUpChildAndWriteSignals() {}

const volatile std::sig_atomic_t &stopSignal()
{
    return g_stopSignal;
}

void drainStopSignals()
{
    if (g_stopEvent != nullptr)
        ResetEvent(g_stopEvent);
}

bool stopPending(int stopFd)
{
    return stopFd != -1 && WaitForSingleObject(LongToHandle(stopFd), 0) == WAIT_OBJECT_0;
}

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
