// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace qn480 {

// Text from outside (a port path may hold anything) as JSON takes it: each byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so that no input breaks or forges a line.
std::string utf8Text(std::string_view text);

// One JSON value on one line. Control characters other than \n, \r and \t are written as
// \u00XX, so that a script's filter keeps matching.
std::string jsonText(const nlohmann::ordered_json &value);

} // namespace qn480
