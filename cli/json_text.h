// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace qn480::cli {

using Json = nlohmann::ordered_json;

// Text from outside (a port path may hold anything) as JSON takes it: each byte that is not
// part of well-formed UTF-8 becomes U+FFFD, so that no input breaks or forges a line.
std::string utf8Text(std::string_view text);

// One JSON value on one line. Control characters other than \n, \r and \t are written as
// \u00XX, as they always have been, so that a script's filter keeps matching.
std::string jsonText(const Json &value);

} // namespace qn480::cli
