// SPDX-License-Identifier: GPL-3.0-or-later
#include "qt_services.h"

namespace qn480 {

QtServices &qtServices()
{
    // Constant-initialised, so that the Qt part may fill it from its own static
    // initialisation in whatever order the program's files run theirs.
    static constinit QtServices services;
    return services;
}

} // namespace qn480
