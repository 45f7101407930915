// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_view.h"
#include "keypad.h"

#include <array>
#include <map>
#include <optional>
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

// Sees the keypad's commands with the same checks: each one reported once, after it went
// out; an accepted outcome that the reply allows; failure texts from the keypad's own
// messages or the reader's table.
class CheckingKeypadObserver final : public KeypadObserver
{
public:
    void starting(KeypadSetting setting, bool write) override;
    void finished(const KeypadOutcome &outcome, const KeypadSettings &settings) override;

    // A command the port's closing cut short is never reported.
    void cut() { m_pending.reset(); }

private:
    std::optional<std::pair<KeypadSetting, bool>> m_pending;
};

} // namespace qn480::fuzz
