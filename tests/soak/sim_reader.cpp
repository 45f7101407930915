// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim_reader.h"

#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace qn480::soak {

SimReader::SimReader(sim::FaultRates rates, std::uint32_t seed)
    : m_faults(rates, seed)
    , m_server(m_model, m_faults)
{
    char dir[] = "/tmp/qn480-soak.XXXXXX";
    if (!mkdtemp(dir))
        throw std::runtime_error("no temporary folder");
    m_dir = dir;
    m_link = m_dir + "/reader";
    std::string error;
    if (!m_server.open(&error) ||
        m_server.setLinkPath(m_link, &error) != sim::PtyServer::LinkResult::Made)
        throw std::runtime_error("no simulated reader: " + error);
    if (pipe2(m_commands, O_CLOEXEC | O_NONBLOCK) < 0)
        throw std::runtime_error("no pipe");
    m_server.setReopened([this](const std::string &) { ++m_returns; });
    m_thread = std::thread([this] {
        // The server may only be unplugged from its own thread.
        m_server.run(m_commands[0], [this] {
            char command = 0;
            while (::read(m_commands[0], &command, 1) == 1)
                m_server.hangUp();
            return true;
        });
    });
}

SimReader::~SimReader()
{
    m_server.stop();
    m_thread.join();
    ::close(m_commands[0]);
    ::close(m_commands[1]);
    // The server removes its link; the folder is ours.
    unlink(m_link.c_str());
    rmdir(m_dir.c_str());
}

std::vector<PortEntry> SimReader::ports() const
{
    return {{comName(kComNumber), kComNumber, m_link, "qn480-sim"}};
}

void SimReader::hangUp()
{
    const char command = 'h';
    [[maybe_unused]] const auto n = ::write(m_commands[1], &command, 1);
}

} // namespace qn480::soak
