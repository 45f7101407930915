// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "keypad.h"
#include "procedures.h"

#include <array>
#include <optional>
#include <string>
#include <utility>

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
