// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_settings.h"
#include "keypad_view.h"

#include <array>
#include <string>
#include <vector>

namespace qn480::testing {

// The SetKeypad page's controls in memory, as the window starts: nothing checked, 16H
// selected, every scroll bar at 10. Keeps every status line shown.
class FakeKeypadView final : public KeypadView
{
public:
    void setStatus(const std::string &text) override { m_statusLog.push_back(text); }
    bool isChecked(KeypadCheck box) const override { return m_checked.has(box); }
    void setChecked(KeypadCheck box, bool checked) override { m_checked.set(box, checked); }
    int formatCode() const override { return m_format; }
    // Like a radio group: a code without a button selects nothing new.
    void selectFormat(int code) override
    {
        if (hasFormatButton(code))
            m_format = code;
    }
    int position(KeypadTiming timing) const override { return m_positions[index(timing)]; }
    void setPosition(KeypadTiming timing, int position) override
    {
        m_positions[index(timing)] = position;
    }

    // Test controls.
    void setChecked(CheckedBoxes boxes) { m_checked = boxes; }
    CheckedBoxes checked() const { return m_checked; }
    void deselectFormat() { m_format = 0; }
    std::string status() const { return m_statusLog.empty() ? std::string() : m_statusLog.back(); }
    const std::vector<std::string> &statusLog() const { return m_statusLog; }
    void clearStatusLog() { m_statusLog.clear(); }

private:
    static std::size_t index(KeypadTiming timing) { return static_cast<std::size_t>(timing); }

    CheckedBoxes m_checked;
    int m_format = kFormat16H;
    std::array<int, 3> m_positions{10, 10, 10};
    std::vector<std::string> m_statusLog;
};

} // namespace qn480::testing
