// SPDX-License-Identifier: GPL-3.0-or-later
#include "checking_views.h"

#include "text_checks.h"

#include <algorithm>
#include <set>
#include <string_view>

namespace qn480::fuzz {

namespace {

constexpr int kTypeAPage = 1;
constexpr int kTypeBPage = 2;
constexpr int kFelicaPage = 3;
constexpr int kIso15693Page = 4;
constexpr int kMifareInitPage = 5;

// The UID box's forms: 16 digits for 4- and 7-byte UIDs, 20 for 10-byte ones.
constexpr std::size_t kUidDigits = 16;
constexpr std::size_t kTripleUidDigits = 20;

bool isTypeAUid(std::string_view text)
{
    return isUpperHex(text, kUidDigits) || isUpperHex(text, kTripleUidDigits);
}
// Data byte 2 of a FeliCa answer ends the identifier: at most 255 - 3 bytes.
constexpr std::size_t kMaxFelicaUid = 252;

const std::set<std::string_view> &commonCardMessages()
{
    static const std::set<std::string_view> messages{"", " ", " Start 13.56-MHz carrier emission",
                                                     " Stop 13.56-MHz carrier emission"};
    return messages;
}

// The configure step's progress and failure texts of each page.
const std::set<std::string_view> &pageMessages(int page)
{
    static const std::set<std::string_view> typeA{
        " Configure registers in the QN480 to serve ISO14443A transaction.",
        " Initialize 43A Mode Failed!"};
    static const std::set<std::string_view> typeB{
        " Configure registers in the QN480 to serve ISO14443B transaction.",
        " Initialize 43B Mode Failed!"};
    static const std::set<std::string_view> felica{
        " Configure registers in the QN480 to serve Felica transaction",
        " Initialize Felica Mode Failed!"};
    static const std::set<std::string_view> iso15693{
        " Configure registers in the QN480 to serve ISO15693 transaction",
        " Initialize Felica Mode Failed!"};
    switch (page) {
    case kTypeBPage:
        return typeB;
    case kFelicaPage:
        return felica;
    case kIso15693Page:
        return iso15693;
    default:
        return typeA;
    }
}

int pageOf(CardBox box)
{
    switch (box) {
    case CardBox::Uid14443A:
    case CardBox::Atqa14443A:
    case CardBox::Sak14443A:
    case CardBox::CardType14443A:
        return kTypeAPage;
    case CardBox::MifarePlusInit:
        return kMifareInitPage;
    case CardBox::BPupi:
    case CardBox::BAppData:
    case CardBox::BInfo:
        return kTypeBPage;
    case CardBox::FelicaSlot:
    case CardBox::FelicaSubResp:
    case CardBox::FelicaUid:
        return kFelicaPage;
    case CardBox::Iso15693Dsfid:
    case CardBox::Iso15693Uid:
        return kIso15693Page;
    }
    return 0;
}

bool boxTextWellFormed(CardBox box, std::string_view text)
{
    switch (box) {
    case CardBox::Uid14443A:
        return text.empty() || isTypeAUid(text);
    case CardBox::Atqa14443A:
    case CardBox::Sak14443A:
        return text.empty() || isUpperHex(text, 2);
    case CardBox::CardType14443A:
        return text.empty() || isCardType(text);
    case CardBox::MifarePlusInit:
        return isCardType(text);
    case CardBox::BPupi:
    case CardBox::BAppData:
        return isSpacedHex(text, 4);
    case CardBox::BInfo:
        return isSpacedHex(text, 3);
    case CardBox::FelicaSlot:
    case CardBox::FelicaSubResp:
    case CardBox::Iso15693Dsfid:
        return isSpacedHex(text, 1);
    case CardBox::FelicaUid:
        return isSpacedHexUpTo(text, kMaxFelicaUid);
    case CardBox::Iso15693Uid:
        return isSpacedHex(text, 8);
    }
    return false;
}

} // namespace

bool CheckingCardView::isAnnouncement(std::string_view text) const
{
    if (text.empty() || text.front() != ' ')
        return false;
    const std::string_view shown = text.substr(1);
    switch (m_page) {
    case kTypeBPage:
        return isSpacedHex(shown, 4);
    case kFelicaPage:
        return isSpacedHexUpTo(shown, kMaxFelicaUid);
    case kIso15693Page:
        return isSpacedHex(shown, 8);
    default:
        return isTypeAUid(shown);
    }
}

void CheckingCardView::setStatus(const std::string &text)
{
    trace("status", text);
    expect(isUtf8(text), "status line is not UTF-8", text);
    expect(commonCardMessages().contains(text) || pageMessages(m_page).contains(text) ||
               isStatusMessage(text) || isAnnouncement(text),
           "status line of a card page", text);
    m_status = text;
}

void CheckingCardView::setHint(const std::string &text)
{
    trace("hint", text);
    // Only the Type A pages follow a card in the hint: a UID, or on the initialization
    // page the mark of a pass without one.
    expect(m_page == kTypeAPage || m_page == kMifareInitPage, "hint written by a polling page",
           text);
    const bool uid = isTypeAUid(text);
    const bool lostMark = m_page == kMifareInitPage && (text == " " || isStatusMessage(text));
    expect(text.empty() || uid || lostMark, "hint", text);
    m_hint = text;
}

void CheckingCardView::setBoxText(CardBox box, const std::string &text)
{
    trace("box " + std::to_string(static_cast<int>(box)), text);
    const int owner = pageOf(box);
    // The initialization page shows UID, SAK and ATQA in the ISO14443A page's boxes.
    const bool typeABoxOfInit =
        m_page == kMifareInitPage && owner == kTypeAPage && box != CardBox::CardType14443A;
    expect(owner == m_page || typeABoxOfInit, "box of another page", text);
    expect(boxTextWellFormed(box, text), "box text", text);
    m_boxes[box] = text;
}

std::string CheckingCardView::boxText(CardBox box) const
{
    const auto it = m_boxes.find(box);
    return it == m_boxes.end() ? std::string() : it->second;
}

void CheckingCardView::showIndicator(bool)
{
    expect(m_begins == 1 && m_ends == 0, "run indicator shown outside the run");
    m_indicatorShown = true;
}

void CheckingCardView::hideIndicator()
{
    m_indicatorShown = false;
}

void CheckingCardView::beginRun(int page)
{
    expect(page == m_page && m_begins == 0 && m_ends == 0, "run begun twice or on another page");
    ++m_begins;
}

void CheckingCardView::endRun(int page)
{
    expect(page == m_page && m_ends == 0, "run ended twice or on another page");
    ++m_ends;
}

void CheckingCardView::checkEnded() const
{
    expect(m_ends == 1, "the run did not restore its controls");
    expect(!m_indicatorShown, "the run indicator stayed on");
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
    const std::string own = std::string(outcome.write ? " Set " : " Get ") +
                            std::string(settingInfo(outcome.setting).operation) + " Error!!";
    expect(isUtf8(failure) && (failure == own || isStatusMessage(failure)),
           "failure text of the keypad", failure);
}

} // namespace qn480::fuzz
