// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace qn480::cli {

// The signals qn480ctl sets apart from its stop signals: POSIX's child, pipe and file-size
// signals; nothing on Windows, which has none of them.
void setUpPlatformSignals();

} // namespace qn480::cli
