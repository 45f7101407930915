// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string_view>

namespace qn480 {

// The reader's message for a status byte (UTF-8), empty for a byte it does not define.
std::string_view StatusText(std::uint8_t status);

} // namespace qn480
