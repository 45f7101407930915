#include "poll_view.h"

#include "json.h"

#include <algorithm>
#include <array>
#include <span>

namespace qn480::cli {

namespace {

struct Field
{
    std::string_view key;
    CardBox box;
};

// The page's boxes and the names their values carry in a card line, in the order shown.
constexpr std::array kTypeAFields{
    Field{"uid", CardBox::Uid14443A}, Field{"atqa", CardBox::Atqa14443A},
    Field{"sak", CardBox::Sak14443A}, Field{"type", CardBox::CardType14443A}};
constexpr std::array kTypeBFields{Field{"pupi", CardBox::BPupi},
                                  Field{"app_data", CardBox::BAppData},
                                  Field{"info", CardBox::BInfo}};
constexpr std::array kFelicaFields{Field{"slot", CardBox::FelicaSlot},
                                   Field{"sub_response", CardBox::FelicaSubResp},
                                   Field{"uid", CardBox::FelicaUid}};
constexpr std::array kIso15693Fields{Field{"dsfid", CardBox::Iso15693Dsfid},
                                     Field{"uid", CardBox::Iso15693Uid}};

std::span<const Field> fieldsOf(AirInterface air)
{
    switch (air) {
    case AirInterface::Iso14443A:
        return kTypeAFields;
    case AirInterface::Iso14443B:
        return kTypeBFields;
    case AirInterface::Felica:
        return kFelicaFields;
    case AirInterface::Iso15693:
        return kIso15693Fields;
    }
    return {};
}

bool isHexBox(CardBox box)
{
    return box != CardBox::CardType14443A;
}

// The pages show bytes as "1A 2B "; a line carries them as "1A2B".
std::string compactHex(std::string text)
{
    std::erase(text, ' ');
    return text;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

std::string cardLine(AirInterface air, const CardView &view, bool json)
{
    JsonObject object;
    std::string line;
    if (json)
        object.text("interface", airName(air));
    for (const Field &field : fieldsOf(air)) {
        std::string value = view.boxText(field.box);
        value = isHexBox(field.box) ? compactHex(value) : value;
        if (json) {
            object.text(field.key, value);
        } else {
            line += (line.empty() ? "" : " ") + std::string(field.key) + "=" + value;
        }
    }
    return json ? object.str() : line;
}

PollView::PollView(AirInterface air, bool json, std::ostream &out, std::ostream &err)
    : m_air(air)
    , m_json(json)
    , m_out(out)
    , m_err(err)
{}

void PollView::setStatus(const std::string &text)
{
    m_status = text;
    const std::string message = trimmed(text);
    if (message.empty() || message == m_lastMessage)
        return;
    m_lastMessage = message;
    // The pages announce a card by its identifier in the status line; the card line says
    // that already.
    if (m_shownThisPass) {
        for (const Field &field : fieldsOf(m_air)) {
            if (message == trimmed(boxText(field.box)))
                return;
        }
    }
    m_err << message << std::endl;
}

void PollView::setBoxText(CardBox box, const std::string &text)
{
    m_boxes[box] = text;
    const auto fields = fieldsOf(m_air);
    const bool ours = std::any_of(fields.begin(), fields.end(),
                                  [&](const Field &field) { return field.box == box; });
    // The Type A page empties its boxes before it knows whether a card can be selected.
    if (ours && !text.empty())
        m_shownThisPass = true;
}

std::string PollView::boxText(CardBox box) const
{
    const auto it = m_boxes.find(box);
    return it == m_boxes.end() ? std::string() : it->second;
}

void PollView::showIndicator(bool)
{
    // The indicator blinks once at the end of every pass.
    if (!m_shownThisPass) {
        m_lastCard.clear();
        return;
    }
    m_shownThisPass = false;
    const std::string line = cardLine(m_air, *this, m_json);
    if (line == m_lastCard)
        return;
    m_lastCard = line;
    ++m_cards;
    m_out << line << std::endl;
    if (m_onCard)
        m_onCard();
}

} // namespace qn480::cli
