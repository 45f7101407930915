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

template <class... Ts> struct Overloaded : Ts...
{
    using Ts::operator()...;
};
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

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

const std::set<std::string_view> &keypadMessages()
{
    // Progress, accepted and refused texts of the six Get/Set pairs.
    static const std::set<std::string_view> messages{
        "",
        " Get HID Keyboard",
        " Get Mode OK!!",
        " Get Mode Error!!",
        " Set HID Keyboard",
        " Set Mode OK!!",
        " Set Mode Error!!",
        " Get HID Keyboard read card type",
        " Get Type OK!!",
        " Get Type Error!!",
        " Set HID Keyboard read card type",
        " Set Type OK!!",
        " Set Type Error!!",
        " Get HID Keyboard send type",
        " Get AddType OK!!",
        " Get AddType Error!!",
        " Set AddType OK!!",
        " Set AddType Error!!",
        " Get Keypad_KeySendTime",
        " Get SendTime OK!!",
        " Get SendTime Error!!",
        " Set Keypad_KeySendTime ",
        " Set SendTime OK!!",
        " Set SendTime Error!!",
        " Get Keypad_ScanTime",
        " Get ScanTime OK!!",
        " Get ScanTime Error!!",
        " Set Keypad_ScanTime ",
        " Set ScanTime OK!!",
        " Set ScanTime Error!!",
        " Get Keypad_SameCardTime",
        " Get SameCardTime OK!!",
        " Get SameCardTime Error!!",
        " Set Keypad_SameCardTime ",
        " Set SameCardTime OK!!",
        " Set SameCardTime Error!!",
    };
    return messages;
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

CheckingKeypadView::CheckingKeypadView(CheckedBoxes checked, int format,
                                       std::array<int, 3> positions)
    : m_checked(checked)
    , m_format(hasFormatButton(format) ? format : 0)
    , m_positions(positions)
{}

void CheckingKeypadView::setStatus(const std::string &text)
{
    trace("keypad status", text);
    expect(isUtf8(text), "status line is not UTF-8", text);
    expect(keypadMessages().contains(text) || isStatusMessage(text), "status line of the keypad",
           text);
    m_status = text;
}

void CheckingKeypadView::selectFormat(int code)
{
    // The page has no radio button for other codes.
    expect(hasFormatButton(code), "format without a radio button", std::to_string(code));
    m_format = code;
}

int CheckingKeypadView::position(KeypadTiming timing) const
{
    return m_positions[static_cast<std::size_t>(timing)];
}

void CheckingKeypadView::setPosition(KeypadTiming timing, int position)
{
    expect(position >= 0 && position <= 255, "scroll bar position", std::to_string(position));
    m_positions[static_cast<std::size_t>(timing)] = position;
}

} // namespace qn480::fuzz
