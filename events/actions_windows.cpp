// SPDX-License-Identifier: GPL-3.0-or-later
#include "actions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <io.h>

#include <windows.h>

namespace qn480 {

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// How often a running action is looked at; it is a thread of its own, not the poll.
constexpr auto kLook = 10ms;

// Our environment without the event's variables, then the event's, as the block
// CreateProcess takes: NAME=value entries, each ended by a NUL, and one more NUL.
std::string environmentBlock(const EventRecord &event, std::optional<UidForm> form)
{
    std::string block;
    if (char *ours = GetEnvironmentStringsA()) {
        for (const char *entry = ours; *entry; entry += std::strlen(entry) + 1) {
            if (_strnicmp(entry, "QN480_", 6) != 0)
                block.append(entry).push_back('\0');
        }
        FreeEnvironmentStringsA(ours);
    }
    for (const std::string &variable : actionEnvironment(event, form))
        block.append(variable).push_back('\0');
    block.push_back('\0');
    return block;
}

HANDLE inheritable(HANDLE handle)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

} // namespace

// Actions run through %COMSPEC% /c, in a job of their own, so that the time-out ends what
// the command started too.
void ActionRunner::run(const EventRecord &event, const std::string &command)
{
    const char *comspec = std::getenv("COMSPEC");
    std::string line =
        std::string("\"") + (comspec && *comspec ? comspec : "cmd.exe") + "\" /c " + command;
    std::string env = environmentBlock(event, m_setup.uidForm);

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr);
    // Its output never mixes into ours on stdout.
    const HANDLE output = inheritable(reinterpret_cast<HANDLE>(_get_osfhandle(m_setup.outputFd)));
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nothing;
    start.hStdOutput = output;
    start.hStdError = output;
    PROCESS_INFORMATION process{};
    const HANDLE job = CreateJobObjectA(nullptr, nullptr);
    const BOOL started =
        CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, env.data(),
                       nullptr, &start, &process);
    const DWORD startError = GetLastError();
    if (nothing != INVALID_HANDLE_VALUE)
        CloseHandle(nothing);
    if (output)
        CloseHandle(output);
    if (!started) {
        if (job)
            CloseHandle(job);
        if (m_report)
            m_report({ActionOutcome::Kind::NotStarted,
                      startError == ERROR_FILE_NOT_FOUND ? ENOENT : EIO, event});
        return;
    }
    if (job)
        AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    const auto deadline = Steady::now() + m_setup.timeout;
    bool timedOut = false;
    for (;;) {
        if (WaitForSingleObject(process.hProcess, DWORD(kLook.count())) == WAIT_OBJECT_0)
            break;
        bool abandoned = false;
        {
            std::unique_lock lock(m_mutex);
            abandoned = m_abandoned;
        }
        if (Steady::now() >= deadline || abandoned) {
            // Windows has no polite stop for a console program that is not ours: the job
            // ends at once.
            timedOut = !abandoned;
            if (job)
                TerminateJobObject(job, 1);
            else
                TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    if (job)
        CloseHandle(job);
    if (!m_report)
        return;
    if (timedOut)
        m_report({ActionOutcome::Kind::TimedOut, 0, event});
    else if (status != 0)
        m_report({ActionOutcome::Kind::Failed, int(status), event});
}

} // namespace qn480
