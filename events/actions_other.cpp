// SPDX-License-Identifier: GPL-3.0-or-later
#include "actions.h"

#include <cerrno>

namespace qn480 {

// Actions run through /bin/sh; where there is none, each says it could not start.
void ActionRunner::run(const EventRecord &event, const std::string &)
{
    if (m_report)
        m_report({ActionOutcome::Kind::NotStarted, ENOSYS, event});
}

} // namespace qn480
