// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial_port.h"

#include <memory>
#include <string>

namespace qn480 {

// The port on Qt Serial Port, built on every platform with Qt.
std::unique_ptr<Port> openQtSerialDevice(const std::string &device, const LineSettings &settings,
                                         OpenFailure *failure);

// Without an application object, Qt warns each time the Qt port switches its notifiers,
// which it never needs. A program that runs the port so calls this once, so that its stderr
// carries only its own words; other messages go on to the handler before.
void quietenPortWarningsWithoutApplication();

} // namespace qn480
