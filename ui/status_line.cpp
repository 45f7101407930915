// SPDX-License-Identifier: GPL-3.0-or-later
#include "status_line.h"

#include <QFrame>
#include <QLabel>

namespace qn480 {

namespace {

constexpr QColor kIndicatorYellow{255, 255, 0};

} // namespace

void StatusLine::setText(const QString &text)
{
    m_panel->setText(text);
}

QString StatusLine::text() const
{
    return m_panel->text();
}

void StatusLine::blink()
{
    const bool yellow = m_phase == 1;
    QPalette colours = m_indicator->palette();
    // The second phase is the edit boxes' background, not the form's face.
    colours.setColor(QPalette::Window,
                     yellow ? kIndicatorYellow
                            : m_colours->palette().color(QPalette::Active, QPalette::Base));
    m_indicator->setPalette(colours);
    m_indicator->show();
    m_phase = yellow ? 0 : 1;
}

void StatusLine::hideIndicator()
{
    m_indicator->hide();
}

} // namespace qn480
