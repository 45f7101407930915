// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <string>

class QFrame;
class QLabel;
class QWidget;

namespace qn480 {

// A tooltip of text from outside (device paths, descriptions, failure reasons), shown as the
// characters it holds: control characters escaped, and text that Qt would read as HTML
// handed to it as escaped HTML.
QString plainToolTip(const std::string &text);

// The window's status row as the pages write to it: panel 0 of sbMain, sbMain.Hint (the
// UID the Type A pages announced last) and the run indicator shape_run.
class StatusLine
{
public:
    // `colours` gives the indicator its second phase: that widget's edit-box background.
    explicit StatusLine(const QWidget *colours)
        : m_colours(colours)
    {}
    // The widgets, once the row is built.
    void attach(QLabel *panel, QFrame *indicator)
    {
        m_panel = panel;
        m_indicator = indicator;
    }

    void setText(const QString &text);
    QString text() const;
    // Panel 0's own tooltip: why the last Connect failed or the reader went away.
    void setToolTip(const QString &text);
    void setHint(const QString &text) { m_hint = text; }
    const QString &hint() const { return m_hint; }

    // Shows the indicator in the colour of its phase and turns the phase over; the phase
    // goes on from run to run and page to page.
    void blink();
    void hideIndicator();
    int indicatorPhase() const { return m_phase; }

private:
    QLabel *m_panel = nullptr;
    QFrame *m_indicator = nullptr;
    const QWidget *m_colours;
    QString m_hint;
    int m_phase = 0;
};

} // namespace qn480
