// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "clock.h"
#include "port.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace qn480::soak {

// Follows every transaction of a link through its port and its clock: when the request
// went out, each look the link took at the clock and each wait it made, and when the
// transaction ended (the next purge, or the procedure's next sleep).
//
// A transaction keeps to its time-out plus one slice when the link never looks at the
// clock again after the look that found the deadline passed, and never waits more than one
// slice between two looks. Both are counted, without timing anything; the wall-clock
// durations are kept for the record.
class TransactionWatch
{
public:
    using Request = std::function<void(std::span<const std::uint8_t>)>;

    // Called with every request frame as it is written.
    void onRequest(Request request) { m_onRequest = std::move(request); }

    int transactions() const { return m_transactions; }
    // Transactions that ran past their deadline: looks after the deadline had been seen,
    // or waits longer than one slice or more than one between looks.
    int overruns() const { return m_overruns; }
    int timeOuts() const { return m_timeOuts; }
    std::chrono::nanoseconds longest() const { return m_longest; }

    // For the clock and the port below.
    void requestWritten(std::span<const std::uint8_t> bytes);
    void clockRead(std::chrono::nanoseconds now);
    void waited(std::chrono::nanoseconds slice);
    void activity();
    void ended();

private:
    bool m_open = false;
    std::chrono::nanoseconds m_written{};
    std::chrono::nanoseconds m_lastActivity{};
    std::vector<std::chrono::nanoseconds> m_looks;
    int m_waitsSinceLook = 0;
    bool m_overrun = false;

    int m_transactions = 0;
    int m_overruns = 0;
    int m_timeOuts = 0;
    std::chrono::nanoseconds m_longest{};
    Request m_onRequest;
};

// The steady clock, reporting to the watch.
class WatchedClock final : public Clock
{
public:
    explicit WatchedClock(TransactionWatch &watch)
        : m_watch(watch)
    {}
    std::chrono::nanoseconds now() const override;
    void sleep(std::chrono::nanoseconds duration) override;

private:
    TransactionWatch &m_watch;
};

// A port that reports to the watch and passes everything on.
class WatchedPort final : public Port
{
public:
    WatchedPort(std::unique_ptr<Port> port, TransactionWatch &watch)
        : m_port(std::move(port))
        , m_watch(watch)
    {}
    ~WatchedPort() override { m_watch.ended(); }

    void purge() override;
    void write(std::span<const std::uint8_t> bytes) override;
    int queued() override;
    int read(std::span<std::uint8_t> bytes) override;
    void waitReadable(std::chrono::nanoseconds slice) override;
    bool deviceLost() const override { return m_port->deviceLost(); }
    bool checkDevice() override { return m_port->checkDevice(); }

private:
    std::unique_ptr<Port> m_port;
    TransactionWatch &m_watch;
};

// Resident memory of this process.
std::int64_t residentBytes();
// CPU time of this process, all threads, user and system.
std::chrono::nanoseconds processCpuTime();

} // namespace qn480::soak
