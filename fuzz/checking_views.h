// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_view.h"
#include "keypad_settings.h"
#include "keypad_view.h"

#include <array>
#include <map>
#include <string>

namespace qn480::fuzz {

// A card page that checks every text a procedure writes the moment it is written: the
// boxes of its own page in their hexadecimal formats, card types from the known names,
// status lines from the page's own messages or the reader's table. It also checks that
// the run's control states begin and end once, in order.
class CheckingCardView final : public CardView
{
public:
    explicit CheckingCardView(int page)
        : m_page(page)
    {}

    void setStatus(const std::string &text) override;
    std::string status() const override { return m_status; }
    void setHint(const std::string &text) override;
    std::string hint() const override { return m_hint; }
    void setBoxText(CardBox box, const std::string &text) override;
    std::string boxText(CardBox box) const override;
    void showIndicator(bool yellow) override;
    void hideIndicator() override;
    void beginRun(int page) override;
    void endRun(int page) override;

    // After the procedure returned: it ended its run and hid the indicator.
    void checkEnded() const;

private:
    bool isAnnouncement(std::string_view text) const;

    int m_page;
    std::string m_status;
    std::string m_hint;
    std::map<CardBox, std::string> m_boxes;
    int m_begins = 0;
    int m_ends = 0;
    bool m_indicatorShown = false;
};

// The SetKeypad page's controls with the same checks: status lines from the keypad's own
// messages or the reader's table, radio buttons that exist, scroll positions 0 to 255.
class CheckingKeypadView final : public KeypadView
{
public:
    CheckingKeypadView() = default;
    // A page as the operator may have left it.
    CheckingKeypadView(CheckedBoxes checked, int format, std::array<int, 3> positions);

    void setStatus(const std::string &text) override;
    bool isChecked(KeypadCheck box) const override { return m_checked.has(box); }
    void setChecked(KeypadCheck box, bool checked) override { m_checked.set(box, checked); }
    int formatCode() const override { return m_format; }
    void selectFormat(int code) override;
    int position(KeypadTiming timing) const override;
    void setPosition(KeypadTiming timing, int position) override;

    const std::string &status() const { return m_status; }

private:
    std::string m_status;
    CheckedBoxes m_checked;
    int m_format = kFormat16H;
    std::array<int, 3> m_positions{10, 10, 10};
};

} // namespace qn480::fuzz
