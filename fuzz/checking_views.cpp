// SPDX-License-Identifier: GPL-3.0-or-later
#include "checking_views.h"

#include "text_checks.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <variant>

namespace qn480::fuzz {

namespace {

// Data byte 2 of a FeliCa answer ends the identifier: at most 255 - 3 bytes.
constexpr std::size_t kMaxFelicaIdm = 252;

bool recordWellFormed(const Card &card, CardProcedure procedure)
{
    const bool typeA =
        procedure == CardProcedure::Iso14443A || procedure == CardProcedure::MifareInit;
    return std::visit(Overloaded{
                          [&](const TypeACard &c) {
                              const std::size_t n = c.uid.size();
                              return typeA && (n == 4 || n == 7 || n == 10) && c.atqa.size() == 2 &&
                                     isCardType(c.type) && (!c.probeSucceeded || c.ats);
                          },
                          [&](const TypeBCard &c) {
                              return procedure == CardProcedure::Iso14443B && c.pupi.size() == 4 &&
                                     c.appData.size() == 4 && c.protocolInfo.size() == 3;
                          },
                          [&](const FelicaCard &c) {
                              return procedure == CardProcedure::Felica &&
                                     c.idm.size() <= kMaxFelicaIdm &&
                                     (c.pmm.empty() || c.pmm.size() == 8);
                          },
                          [&](const Iso15693Card &c) {
                              return procedure == CardProcedure::Iso15693 && c.uid.size() == 8;
                          },
                      },
                      card);
}

} // namespace

void CheckingCardObserver::runStarted()
{
    expect(m_begins == 0 && m_ends == 0, "run begun twice");
    ++m_begins;
}

void CheckingCardObserver::stepStarting(CardStep)
{
    expect(m_ends == 0, "a command after the run's end");
}

void CheckingCardObserver::cardSelected(const TypeACard &card)
{
    expect(m_begins == 1 && m_ends == 0, "a card selected outside the run");
    const std::size_t n = card.uid.size();
    expect(n == 4 || n == 7 || n == 10, "Type A UID length");
    expect(card.atqa.size() == 2, "ATQA length");
}

void CheckingCardObserver::passEnded(const PassOutcome &outcome)
{
    expect(m_begins == 1 && m_ends == 0, "a pass outside the run");
    if (outcome.card)
        expect(recordWellFormed(*outcome.card, m_procedure), "card record");
}

void CheckingCardObserver::runEnded(const RunOutcome &)
{
    expect(m_ends == 0, "run ended twice");
    ++m_ends;
}

void CheckingCardObserver::checkEnded() const
{
    expect(m_ends == 1, "the run did not end");
}

void CheckingKeypadObserver::starting(KeypadSetting setting, bool write)
{
    trace("keypad starting", std::string(settingInfo(setting).operation));
    expect(!m_pending, "a keypad command started inside another");
    m_pending = std::pair(setting, write);
}

void CheckingKeypadObserver::finished(const KeypadOutcome &outcome, const KeypadSettings &)
{
    const std::string failure = keypadFailureText(outcome);
    trace("keypad outcome", failure);
    expect(m_pending == std::pair(outcome.setting, outcome.write),
           "a keypad outcome without its command");
    m_pending.reset();
    const int length = settingInfo(outcome.setting).length;
    expect(!outcome.accepted ||
               (outcome.status == 1 && outcome.result != TransactionResult::NoPort &&
                (outcome.write || outcome.dataLength == length)),
           "an accepted keypad outcome its reply does not allow");
    expect(outcome.dataLength >= -1, "data length below -1");
    const std::string own = std::string(outcome.write ? "Set " : "Get ") +
                            std::string(settingInfo(outcome.setting).operation) + " Error!!";
    expect(failure == own || isStatusMessage(failure), "failure text of the keypad", failure);
}

} // namespace qn480::fuzz
