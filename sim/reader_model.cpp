// SPDX-License-Identifier: GPL-3.0-or-later
#include "reader_model.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>

namespace qn480::sim {

namespace {

// Status bytes the simulated reader uses.
constexpr std::uint8_t kOk = 0x01;
constexpr std::uint8_t kBadChecksum = 0x11;
constexpr std::uint8_t kUnknownGroup = 0x20;
constexpr std::uint8_t kUnknownCode = 0x21;
constexpr std::uint8_t kBadParameter = 0x22;
constexpr std::uint8_t kCardError = 0xB0;
constexpr std::uint8_t kNoCard = 0xE0;

constexpr std::uint8_t kStartMark = 0xAA;
constexpr std::uint8_t kCascadeTag = 0x88;
constexpr std::uint8_t kCascadeBit = 0x04; // in a select answer: the UID goes on
constexpr int kMaxFrame = 1024;

// Command groups and codes.
constexpr std::uint8_t kGroupReader = 0x00;
constexpr std::uint8_t kGroupA = 0x0A;
constexpr std::uint8_t kGroupB = 0x0B;
constexpr std::uint8_t kGroupFelica = 0x0C;
constexpr std::uint8_t kGroup15693 = 0x0D;
constexpr std::uint8_t kConfigure = 0x00;
constexpr std::uint8_t kPoll = 0x10;
constexpr std::uint8_t kCarrierOn = 0x30;
constexpr std::uint8_t kCarrierOff = 0x31;
constexpr std::uint8_t kRequestA = 0x10;
constexpr std::uint8_t kAnticollision = 0x12;
constexpr std::uint8_t kSelect = 0x13;
constexpr std::uint8_t kRats = 0x15;
constexpr std::uint8_t kSecurityProbe = 0x40;

// A keypad setting: its Get and Set codes and where the model keeps it.
struct KeypadField
{
    std::uint8_t get;
    std::uint8_t set;
    std::function<std::span<std::uint8_t>(KeypadSettings &)> bytes;
    std::function<bool(std::span<const std::uint8_t>)> valid;
};

bool anyValue(std::span<const std::uint8_t>)
{
    return true;
}

// The reader takes only a format code that names a format (1 to 10 and 12; 0, 11 and codes
// above 12 name none) and one reversal: none, by byte or by bit.
bool validAddType(std::span<const std::uint8_t> value)
{
    const std::uint8_t format = value[0];
    const std::uint8_t reversal = value[1];
    const bool formatOk = (format >= 1 && format <= 10) || format == 12;
    const bool reversalOk = reversal == 1 || reversal == 2 || reversal == 4;
    return formatOk && reversalOk;
}

const std::vector<KeypadField> &keypadFields()
{
    static const std::vector<KeypadField> fields{
        {0x10, 0x11, [](KeypadSettings &k) { return std::span(&k.mode, 1); }, anyValue},
        {0x12, 0x13, [](KeypadSettings &k) { return std::span(&k.type, 1); }, anyValue},
        {0x1A, 0x1B, [](KeypadSettings &k) { return std::span(k.addType); }, validAddType},
        {0x18, 0x19, [](KeypadSettings &k) { return std::span(&k.sendTime, 1); }, anyValue},
        {0x14, 0x15, [](KeypadSettings &k) { return std::span(&k.scanTime, 1); }, anyValue},
        {0x16, 0x17, [](KeypadSettings &k) { return std::span(&k.sameTime, 1); }, anyValue},
    };
    return fields;
}

int cascadeLevels(const Card &card)
{
    return card.uid.size() == 10 ? 3 : card.uid.size() == 7 ? 2 : 1;
}

// The four bytes a card answers to the anticollision of `level`; the BCC is not sent.
// Every level but the last carries the cascade tag and three UID bytes.
Bytes levelBytes(const Card &card, int level)
{
    const auto first = card.uid.begin() + 3 * (level - 1);
    if (level == cascadeLevels(card))
        return {first, card.uid.end()};
    return {kCascadeTag, first[0], first[1], first[2]};
}

} // namespace

Bytes responseFrame(std::uint8_t group, std::uint8_t code, std::uint8_t status,
                    std::span<const std::uint8_t> data)
{
    // LEN counts the header bytes 3 to 6, the status and the data.
    const std::size_t length = data.size() + 5;
    Bytes frame(length + 4);
    frame[0] = kStartMark;
    frame[1] = static_cast<std::uint8_t>(length >> 8);
    frame[2] = static_cast<std::uint8_t>(length & 0xFF);
    // Bytes 3 and 4 stay zero.
    frame[5] = group;
    frame[6] = code;
    frame[7] = status;
    std::copy(data.begin(), data.end(), frame.begin() + 8);
    std::uint8_t checksum = 0;
    for (std::size_t i = 1; i + 1 < frame.size(); ++i)
        checksum ^= frame[i];
    frame.back() = checksum;
    return frame;
}

// --- the reader -----------------------------------------------------------------------

ReaderModel::ReaderModel(std::vector<Card> field)
    : m_cards(std::move(field))
{}

std::size_t ReaderModel::addCard(Card card)
{
    card.present = true;
    m_cards.push_back(std::move(card));
    return m_cards.size() - 1;
}

bool ReaderModel::setPresent(std::size_t index, bool present)
{
    if (index >= m_cards.size())
        return false;
    m_cards[index].present = present;
    return true;
}

void ReaderModel::idle()
{
    m_bytes.clear();
    m_open.clear();
}

std::vector<Exchange> ReaderModel::receive(std::span<const std::uint8_t> bytes)
{
    // Requests have no escaping: a 0xAA may start one or be a data byte (a UID byte in a
    // select). Every 0xAA opens a candidate beside the requests in progress; the first to
    // complete with a good checksum is the request. A bad one is answered only when no
    // other candidate is still open, so noise before a request cannot swallow it.
    std::vector<Exchange> out;
    for (const std::uint8_t b : bytes) {
        if (b == kStartMark)
            m_open.push_back({static_cast<int>(m_bytes.size()), 0});
        if (m_open.empty())
            continue; // noise between frames
        m_bytes.push_back(b);
        const int end = static_cast<int>(m_bytes.size());

        std::optional<Exchange> done;
        std::optional<Bytes> bad;
        for (Candidate &c : m_open) {
            const int received = end - c.start;
            if (received == 3) {
                c.size = m_bytes[static_cast<std::size_t>(c.start + 1)] * 256 +
                         m_bytes[static_cast<std::size_t>(c.start + 2)] + 4;
                // No request is shorter than 8 bytes or longer than the buffer.
                if (c.size < 8 || c.size > kMaxFrame)
                    c.size = -1;
            }
            if (c.size <= 0 || received != c.size)
                continue;
            const auto frame = std::span(m_bytes).subspan(static_cast<std::size_t>(c.start),
                                                          static_cast<std::size_t>(c.size));
            c.size = -1;
            std::uint8_t checksum = 0;
            for (std::size_t j = 1; j + 1 < frame.size(); ++j)
                checksum ^= frame[j];
            if (checksum != frame.back()) {
                bad = Bytes(frame.begin(), frame.end());
                continue;
            }
            const Request request{frame[5], frame[6], frame.subspan(7, frame.size() - 8)};
            const Answer reply = answer(request);
            done = Exchange{Bytes(frame.begin(), frame.end()),
                            responseFrame(request.group, request.code, reply.status, reply.data)};
            break;
        }
        if (done) {
            m_bytes.clear();
            m_open.clear();
            out.push_back(std::move(*done));
            continue;
        }
        std::erase_if(m_open, [](const Candidate &c) { return c.size < 0; });
        if (m_open.empty()) {
            m_bytes.clear();
        } else if (const int drop = m_open.front().start; drop > 0) {
            m_bytes.erase(m_bytes.begin(), m_bytes.begin() + drop);
            for (Candidate &c : m_open)
                c.start -= drop;
        }
        if (bad && m_open.empty()) {
            const Bytes &frame = *bad;
            out.push_back({frame, responseFrame(frame[5], frame[6], kBadChecksum)});
        }
    }
    return out;
}

ReaderModel::Answer ReaderModel::answer(const Request &request)
{
    switch (request.group) {
    case kGroupReader:
        return reader(request);
    case kGroupA:
        return iso14443A(request);
    case kGroupB:
        return poll(CardKind::Iso14443B, request, 2);
    case kGroupFelica:
        return poll(CardKind::Felica, request, 4);
    case kGroup15693:
        return poll(CardKind::Iso15693, request, 2);
    default:
        return {kUnknownGroup, {}};
    }
}

ReaderModel::Answer ReaderModel::reader(const Request &request)
{
    if (request.code == kCarrierOn || request.code == kCarrierOff) {
        if (!request.data.empty())
            return {kBadParameter, {}};
        m_carrier = request.code == kCarrierOn;
        if (!m_carrier)
            m_activeA.reset(); // the cards lose power
        return {kOk, {}};
    }
    for (const KeypadField &field : keypadFields()) {
        const std::span<std::uint8_t> value = field.bytes(m_keypad);
        if (request.code == field.get) {
            if (!request.data.empty())
                return {kBadParameter, {}};
            return {kOk, Bytes(value.begin(), value.end())};
        }
        if (request.code == field.set) {
            if (request.data.size() != value.size() || !field.valid(request.data))
                return {kBadParameter, {}};
            std::copy(request.data.begin(), request.data.end(), value.begin());
            return {kOk, {}};
        }
    }
    return {kUnknownCode, {}};
}

const Card *ReaderModel::firstPresent(CardKind kind) const
{
    // Several cards of one kind do not collide here: the first one placed answers.
    for (const Card &card : m_cards) {
        if (card.present && card.kind == kind)
            return &card;
    }
    return nullptr;
}

const Card *ReaderModel::activeA() const
{
    if (!m_carrier || !m_activeA || *m_activeA >= m_cards.size() || !m_cards[*m_activeA].present)
        return nullptr;
    return &m_cards[*m_activeA];
}

ReaderModel::Answer ReaderModel::iso14443A(const Request &request)
{
    switch (request.code) {
    case kConfigure:
        if (!request.data.empty())
            return {kBadParameter, {}};
        m_activeA.reset();
        return {kOk, {}};
    case kRequestA: {
        if (!request.data.empty())
            return {kBadParameter, {}};
        m_activeA.reset();
        m_selectedLevel = 0;
        m_selected = false;
        const Card *card = m_carrier ? firstPresent(CardKind::Iso14443A) : nullptr;
        if (!card)
            return {kNoCard, {}};
        m_activeA = static_cast<std::size_t>(card - m_cards.data());
        return {kOk, Bytes(card->atqa.begin(), card->atqa.end())};
    }
    case kAnticollision:
    case kSelect: {
        const std::size_t size = request.code == kAnticollision ? 2 : 5;
        if (request.data.size() != size || request.data[0] < 1 || request.data[0] > 3)
            return {kBadParameter, {}};
        const Card *card = activeA();
        const int level = request.data[0];
        // Only the next level of the card that answered the request responds.
        if (!card || m_selected || level != m_selectedLevel + 1 || level > cascadeLevels(*card))
            return {kNoCard, {}};
        const Bytes uid = levelBytes(*card, level);
        if (request.code == kAnticollision)
            return {kOk, uid};
        if (!std::equal(uid.begin(), uid.end(), request.data.begin() + 1))
            return {kNoCard, {}};
        m_selectedLevel = level;
        if (level < cascadeLevels(*card))
            return {kOk, {kCascadeBit}};
        m_selected = true;
        return {kOk, {card->sak}};
    }
    case kRats: {
        const Card *card = activeA();
        if (!card || !m_selected || card->ats.empty())
            return {kNoCard, {}};
        return {kOk, card->ats};
    }
    case kSecurityProbe: {
        const Card *card = activeA();
        if (!card || !m_selected)
            return {kNoCard, {}};
        return {card->securityLevel == 0 ? kOk : kCardError, {}};
    }
    default:
        return {kUnknownCode, {}};
    }
}

ReaderModel::Answer ReaderModel::poll(CardKind kind, const Request &request, std::size_t dataLength)
{
    if (request.code == kConfigure)
        return {request.data.empty() ? kOk : kBadParameter, {}};
    if (request.code != kPoll)
        return {kUnknownCode, {}};
    if (request.data.size() != dataLength)
        return {kBadParameter, {}};
    const Card *card = m_carrier ? firstPresent(kind) : nullptr;
    if (!card)
        return {kNoCard, {}};

    Bytes data;
    switch (kind) {
    case CardKind::Iso14443B:
        data = card->uid;
        data.insert(data.end(), card->appData.begin(), card->appData.end());
        data.insert(data.end(), card->protocolInfo.begin(), card->protocolInfo.end());
        break;
    case CardKind::Felica:
        // Slot, sub-response, then the index just past the IDm, counted from the slot.
        data = {card->slot, card->subResponse, static_cast<std::uint8_t>(3 + card->uid.size())};
        data.insert(data.end(), card->uid.begin(), card->uid.end());
        data.insert(data.end(), card->pmm.begin(), card->pmm.end());
        break;
    case CardKind::Iso15693:
        data = {card->dsfid};
        data.insert(data.end(), card->uid.begin(), card->uid.end());
        break;
    case CardKind::Iso14443A:
        break;
    }
    return {kOk, data};
}

} // namespace qn480::sim
