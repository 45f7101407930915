// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "faults.h"
#include "port_list.h"
#include "pty_server.h"
#include "reader_model.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace qn480::soak {

// qn480-sim's reader in a thread of its own on a pty, reached through a symbolic link in a
// private folder. The link goes when the reader hangs up and comes back with its new pty, as
// a device node goes with an adaptor unplugged and comes back when it is plugged in again.
class SimReader
{
public:
    static constexpr int kComNumber = 20;

    explicit SimReader(sim::FaultRates rates = {}, std::uint32_t seed = 1);
    ~SimReader();
    SimReader(const SimReader &) = delete;
    SimReader &operator=(const SimReader &) = delete;

    std::vector<PortEntry> ports() const;
    // The device name the ports lead to; removing it is a device node that vanishes.
    const std::string &linkPath() const { return m_link; }
    sim::ReaderModel &model() { return m_model; }

    // Unplugs the reader now; it is back on a new pty a second later.
    void hangUp();
    // How often the reader has come back after a hang-up.
    int returns() const { return m_returns.load(); }

private:
    sim::ReaderModel m_model;
    sim::FaultInjector m_faults;
    sim::PtyServer m_server;
    std::string m_dir;
    std::string m_link;
    int m_commands[2] = {-1, -1}; // pipe: commands for the server's thread
    std::atomic<int> m_returns = 0;
    std::thread m_thread;
};

} // namespace qn480::soak
