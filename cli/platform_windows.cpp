// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform.h"

namespace qn480::cli {

void setUpPlatformSignals() {}

} // namespace qn480::cli
