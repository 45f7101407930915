// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad.h"

#include <QWidget>

#include <array>
#include <functional>
#include <string>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QScrollBar;

namespace qn480 {

class Link;

// The SetKeypad page, ts_SetKeypad: the keypad's settings shown in check boxes, radio
// buttons and scroll bars, and its Gets and Sets rendered into the status line.
class KeypadPage : public QWidget, private KeypadObserver
{
    Q_OBJECT

public:
    using SetStatus = std::function<void(const std::string &text)>;
    // Runs a handler the way the window runs its own (exceptions reported, a lost reader
    // dealt with after it).
    using Guard = std::function<void(const std::function<void()> &handler)>;

    // `parent` gives the page its font before the tab control takes it.
    KeypadPage(Link &link, SetStatus setStatus, Guard guard, QWidget *parent);

    // The four group boxes: usable while a port is open.
    void setGroupsEnabled(bool enabled);
    // The port was closed: a running operation ends after its current step.
    void portClosed() { m_keypad.portClosed(); }

public slots:
    // The page was shown: the six Gets, then an empty status. When a Get failed on an open
    // port the status keeps the first failure instead: cleared boxes must not pass for a
    // reading.
    void ts_SetKeypadShow();
    // "default": the defaults shown, six Sets, six Gets, then an empty status or the first
    // failure.
    void Button1Click();
    // F5: the six Gets again, as showing the page runs them; nothing while an operation
    // runs.
    void readAgain();

private:
    void getSetting(KeypadSetting setting);
    void setSetting(KeypadSetting setting);
    void showTiming(KeypadSetting setting);
    // What a Set sends for the controls, normalising them first where the reader needs it,
    // so that the page shows what was sent.
    KeypadSettings shownValue(KeypadSetting setting);
    void show(KeypadSetting setting, const KeypadSettings &settings);
    void clear(KeypadSetting setting);
    // Cleared controls that no Get has filled since: greyed, their Set refusing.
    void markRead(KeypadSetting setting, bool read);
    std::vector<QAbstractButton *> valueControls(KeypadSetting setting) const;
    void finish(const KeypadSequence &sequence, bool connected);

    // KeypadObserver
    void starting(KeypadSetting setting, bool write) override;
    void finished(const KeypadOutcome &outcome, const KeypadSettings &settings) override;

    Link &m_link;
    Keypad m_keypad;
    SetStatus m_setStatus;
    Guard m_guard;
    std::array<QGroupBox *, 4> m_groups{};
    std::array<QCheckBox *, 19> m_checks{}; // in the order of the page's check box table
    QButtonGroup *m_formats = nullptr;
    std::array<QScrollBar *, 6> m_bars{}; // by KeypadSetting; only the timings have one
    std::array<QLabel *, 6> m_panels{};
    std::array<QPushButton *, 6> m_setButtons{}; // by KeypadSetting
    std::array<bool, 6> m_unread{};              // by KeypadSetting
};

} // namespace qn480
