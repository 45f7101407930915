// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Whether a QN480 is behind a port, found by one harmless request, as the NFC tools' device
// scan does.

#include "port_list.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace qn480 {

class Clock;
class Port;

// How long a port has to answer: a QN480 answers a Get within a few milliseconds, and a
// scan of a PC's four on-board ports must not take seconds.
inline constexpr std::chrono::milliseconds kProbeTimeout{200};

struct Probe
{
    std::optional<bool> reader; // nothing: not probed (in use, cannot be opened)
    std::string reason;         // why it was not probed
};

// Probes one port; empty: the ports are only listed.
using PortProbe = std::function<Probe(const PortEntry &port)>;

// Opens the port as a command would (a port in use is left alone), sends the reader's Get
// of its mode and gives the port back as it was found.
Probe probePort(const PortEntry &port);

// Sends the Get on an open port: true when a frame came within `timeout` that answers it
// (the request's group and code, and a status), not an echo of the request.
bool answersAsReader(Port &port, Clock &clock, std::chrono::milliseconds timeout = kProbeTimeout);

} // namespace qn480
