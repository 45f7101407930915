// SPDX-License-Identifier: GPL-3.0-or-later
#include "transaction_watch.h"

#include "link.h"

#include <fstream>

#include <sys/resource.h>
#include <unistd.h>

namespace qn480::soak {

namespace {

std::chrono::nanoseconds steadyNow()
{
    return std::chrono::steady_clock::now().time_since_epoch();
}

} // namespace

void TransactionWatch::requestWritten(std::span<const std::uint8_t> bytes)
{
    ended();
    m_open = true;
    m_written = steadyNow();
    m_lastActivity = m_written;
    m_looks.clear();
    m_waitsSinceLook = 0;
    m_overrun = false;
    if (m_onRequest)
        m_onRequest(bytes);
}

void TransactionWatch::clockRead(std::chrono::nanoseconds now)
{
    if (!m_open)
        return;
    // The first look starts the link's own count; one look after the deadline ends it.
    if (!m_looks.empty() && m_looks.back() - m_looks.front() > kResponseTimeout)
        m_overrun = true;
    m_looks.push_back(now);
    m_waitsSinceLook = 0;
    m_lastActivity = now;
}

void TransactionWatch::waited(std::chrono::nanoseconds slice)
{
    if (!m_open)
        return;
    if (slice > kPollSlice || ++m_waitsSinceLook > 1)
        m_overrun = true;
}

void TransactionWatch::activity()
{
    if (m_open)
        m_lastActivity = steadyNow();
}

void TransactionWatch::ended()
{
    if (!m_open)
        return;
    m_open = false;
    ++m_transactions;
    m_overruns += m_overrun ? 1 : 0;
    const auto duration = m_lastActivity - m_written;
    m_timeOuts += duration > kResponseTimeout ? 1 : 0;
    m_longest = std::max(m_longest, duration);
}

std::chrono::nanoseconds WatchedClock::now() const
{
    const auto now = steadyNow();
    m_watch.clockRead(now);
    return now;
}

void WatchedClock::sleep(std::chrono::nanoseconds duration)
{
    // Procedures sleep between commands, never inside one.
    m_watch.ended();
    steadyClock().sleep(duration);
}

void WatchedPort::purge()
{
    m_watch.ended();
    m_port->purge();
}

void WatchedPort::write(std::span<const std::uint8_t> bytes)
{
    m_port->write(bytes);
    m_watch.requestWritten(bytes);
}

int WatchedPort::queued()
{
    m_watch.activity();
    return m_port->queued();
}

int WatchedPort::read(std::span<std::uint8_t> bytes)
{
    const int n = m_port->read(bytes);
    m_watch.activity();
    return n;
}

void WatchedPort::waitReadable(std::chrono::nanoseconds slice)
{
    m_watch.waited(slice);
    m_port->waitReadable(slice);
    m_watch.activity();
}

std::int64_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    std::int64_t pages = 0;
    std::int64_t resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

std::chrono::nanoseconds processCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

} // namespace qn480::soak
