// SPDX-License-Identifier: GPL-3.0-or-later
#include "status_line.h"

#include "text_util.h"

#include <QFrame>
#include <QLabel>
#include <QTextDocument>

namespace qn480 {

namespace {

constexpr QColor kIndicatorYellow{255, 255, 0};

} // namespace

QString plainToolTip(const std::string &text)
{
    const QString escaped = QString::fromStdString(escapedText(text));
    if (!Qt::mightBeRichText(escaped))
        return escaped;
    return QStringLiteral("<p style='white-space:pre'>") + escaped.toHtmlEscaped() +
           QStringLiteral("</p>");
}

void StatusLine::setText(const QString &text)
{
    m_panel->setText(text);
}

QString StatusLine::text() const
{
    return m_panel->text();
}

void StatusLine::setToolTip(const QString &text)
{
    m_panel->setToolTip(text);
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
