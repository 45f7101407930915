// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform.h"

#include <csignal>

namespace qn480::cli {

void setUpPlatformSignals()
{
    // A parent that ignored SIGCHLD would leave us unable to wait for an action's status.
    std::signal(SIGCHLD, SIG_DFL);
    // A closed pipe on stdout shows as a failed stream, which ends a poll cleanly.
    std::signal(SIGPIPE, SIG_IGN);
    // Past the file size limit a write fails (EFBIG) and is told, instead of killing the
    // program with the port raw and exclusive.
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace qn480::cli
