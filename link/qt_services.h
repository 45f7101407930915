// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "port.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qn480 {

struct LineSettings;
struct OpenFailure;

// A serial port as the system lists it, before it gets its COM number.
struct SystemPort
{
    std::string portName; // ttyUSB0, COM3
    std::string location; // what opens it: /dev/ttyUSB0, COM3
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
};

// What the link's Qt part lends the core when a program links it (the window, its tests and
// benchmarks): the thread's event loop, the Qt Serial Port backend and Qt's port listing.
// A program without Qt (qn480ctl) leaves them empty and waits on the port itself.
struct QtServices
{
    // Whether the calling thread has an event loop to run.
    bool (*hasEventLoop)() = nullptr;
    // Runs the thread's events until `woken` is set or `left` has passed.
    void (*runEventLoop)(std::chrono::nanoseconds left, bool &woken) = nullptr;
    // Calls `ready` from the event loop whenever the descriptor is readable.
    std::unique_ptr<PortWatch> (*watchDescriptor)(int fd, std::function<void()> ready) = nullptr;
    std::unique_ptr<Port> (*openPort)(const std::string &device, const LineSettings &settings,
                                      OpenFailure *failure) = nullptr;
    std::vector<SystemPort> (*systemPorts)() = nullptr;
};

QtServices &qtServices();

} // namespace qn480
