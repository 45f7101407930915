// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace qn480::station {

// Loads the CA file, the client certificate and its key (each empty: not given) as the TLS
// connection will, so that a file that can never work is refused at start with its name and
// OpenSSL's reason, not retried for ever as "A TLS error occurred". Throws ConnectionError.
void checkTlsFiles(const std::string &caFile, const std::string &certFile,
                   const std::string &keyFile);

} // namespace qn480::station
