// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "keypad_settings.h"
#include "keypad_view.h"
#include "procedures.h"

#include <array>
#include <string>

namespace qn480::fuzz {

// A card run that checks every record the moment it is reported: the lengths of its
// fields, card types from the known names, records of the run's own interface. It also
// checks that the run begins and ends once, in order, with its passes between.
class CheckingCardObserver final : public CardObserver
{
public:
    explicit CheckingCardObserver(CardProcedure procedure)
        : m_procedure(procedure)
    {}

    void runStarted() override;
    void stepStarting(CardStep step) override;
    void cardSelected(const TypeACard &card) override;
    void passEnded(const PassOutcome &outcome) override;
    void runEnded(const RunOutcome &outcome) override;

    // After the procedure returned: it ended its run.
    void checkEnded() const;

private:
    CardProcedure m_procedure;
    int m_begins = 0;
    int m_ends = 0;
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
