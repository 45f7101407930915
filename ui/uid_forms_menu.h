// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <cstdint>
#include <span>

class QMenu;

namespace qn480 {

// The tooltip of a UID box: every form of the UID (air order), one a line, and why a form
// cannot apply where it cannot.
QString uidFormsToolTip(std::span<const std::uint8_t> uid);

// Adds "Copy UID as" to a box's context menu: one entry per form, copying it to the
// clipboard; a form that cannot apply is disabled, its reason in the entry's tooltip.
QMenu *addCopyUidMenu(QMenu *menu, std::span<const std::uint8_t> uid);

} // namespace qn480
