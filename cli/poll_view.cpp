// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_view.h"

#include "frame.h"
#include "json.h"
#include "reader_commands.h"
#include "trace.h"

#include <algorithm>

namespace qn480::cli {

namespace {

using namespace std::chrono_literals;

// A card is gone after this many passes without it, and no sooner than kGone.
constexpr int kMissedPasses = 2;
constexpr std::chrono::nanoseconds kGone = 100ms;

using namespace qn480::commands;
constexpr std::uint8_t kCascadeBit = 0x04;
constexpr std::size_t kLevelBytes = 4;

// Frames: AA, LEN (2), 00 00, group, code, then the request's data, or the response's
// status and data; a checksum last.
constexpr std::size_t kGroupAt = 5;
constexpr std::size_t kCodeAt = 6;
constexpr std::size_t kRequestDataAt = 7;
constexpr std::size_t kStatusAt = 7;
constexpr std::size_t kResponseDataAt = 8;

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

// The ISO15693 UID arrives least significant byte first; labels and tools print it the
// other way round.
std::string reversedHex(std::string compact)
{
    std::string out;
    for (std::size_t i = compact.size(); i >= 2; i -= 2)
        out += compact.substr(i - 2, 2);
    return out;
}

} // namespace

std::string localTimestamp(std::chrono::system_clock::time_point time)
{
    // The window's trace carries the same form.
    return traceTimestamp(time);
}

std::string isoTimestamp(std::chrono::system_clock::time_point time)
{
    return traceTimestamp(time, true);
}

std::vector<std::uint8_t> TypeAWire::nfcid() const
{
    std::vector<std::uint8_t> uid;
    for (std::size_t level = 0; level < levels.size(); ++level) {
        const auto &bytes = levels[level];
        // Every level but the last begins with the cascade tag.
        const bool last = level + 1 == levels.size() && !moreLevels;
        uid.insert(uid.end(), bytes.begin() + (last ? 0 : 1), bytes.end());
    }
    return uid;
}

void TypeAWire::follow(TraceDirection direction, std::span<const std::uint8_t> frame)
{
    if (direction == TraceDirection::Request) {
        if (frame.size() <= kCodeAt)
            return;
        // A command of another group (the carrier) ends the Type A exchange.
        m_code = frame[kGroupAt] == kTypeAGroup ? frame[kCodeAt] : 0;
        m_level = frame.size() > kRequestDataAt + 1 ? frame[kRequestDataAt] : 0;
        if (m_code == kRequest) {
            *this = TypeAWire{};
            m_code = kRequest;
        }
        return;
    }
    // A garbled frame fails the page's step too; it tells nothing. A response's header
    // bytes promise nothing: it answers the request sent last.
    if (frame.size() <= kStatusAt + 1 ||
        xorChecksum(frame.subspan(1, frame.size() - 2)) != frame.back())
        return;
    const bool ok = frame[kStatusAt] == 1;
    const auto data = frame.subspan(kResponseDataAt, frame.size() - kResponseDataAt - 1);
    switch (m_code) {
    case kRequest:
        if (ok && data.size() == 2)
            atqa.assign(data.begin(), data.end());
        break;
    case kAnticollision:
        if (ok && !data.empty() && m_level == levels.size() + 1) {
            // Four bytes whatever the length, missing ones zero, as the page takes them.
            std::vector<std::uint8_t> bytes(kLevelBytes, 0);
            std::copy_n(data.begin(), std::min(data.size(), kLevelBytes), bytes.begin());
            levels.push_back(bytes);
            moreLevels = false;
        }
        break;
    case kSelect:
        if (ok && !data.empty() && m_level == levels.size()) {
            moreLevels = (data[0] & kCascadeBit) != 0;
            if (!moreLevels)
                sak = data[0];
        }
        break;
    case kAnswerToSelect:
        if (ok)
            ats = std::vector<std::uint8_t>(data.begin(), data.end());
        break;
    case kLevelProbe:
        probeSucceeded = ok;
        break;
    default:
        break;
    }
}

PollView::PollView(Setup setup, std::ostream &out, std::ostream &err, const Clock &clock,
                   WallClock wallClock)
    : m_setup(setup)
    , m_out(out)
    , m_err(err)
    , m_clock(clock)
    , m_wallClock(wallClock ? std::move(wallClock)
                            : [] { return std::chrono::system_clock::now(); })
{}

void PollView::follow(TraceDirection direction, std::span<const std::uint8_t> frame)
{
    if (m_setup.air == AirInterface::Iso14443A)
        m_wire.follow(direction, frame);
}

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
        for (const auto &[box, value] : m_boxes) {
            if (message == trimmed(value))
                return;
        }
    }
    if (!m_setup.quiet)
        m_err << message << std::endl;
}

void PollView::setBoxText(CardBox box, const std::string &text)
{
    m_boxes[box] = text;
    // The Type A page empties its boxes before it knows whether a card can be selected.
    if (!text.empty())
        m_shownThisPass = true;
}

std::string PollView::boxText(CardBox box) const
{
    const auto it = m_boxes.find(box);
    return it == m_boxes.end() ? std::string() : it->second;
}

std::optional<PollView::Card> PollView::cardOfPass()
{
    const auto box = [&](CardBox b) {
        return compactHex(boxText(b));
    };
    Card card;
    const auto both = [&](const std::string &key, const std::string &value) {
        card.json.emplace_back(key, value);
        card.text.emplace_back(key, value);
    };
    switch (m_setup.air) {
    case AirInterface::Iso14443A: {
        if (!m_shownThisPass)
            return std::nullopt;
        const std::string atqa0 = box(CardBox::Atqa14443A);
        const std::string sak = box(CardBox::Sak14443A);
        const std::string type = boxText(CardBox::CardType14443A);
        const std::string uid = box(CardBox::Uid14443A);
        const std::string nfcid = hexText(m_wire.nfcid(), "");
        card.identity = nfcid.empty() ? uid : nfcid;
        card.json = {{"uid", uid},   {"atqa", atqa0},  {"sak", sak},
                     {"type", type}, {"nfcid", nfcid}, {"atqa_bytes", hexText(m_wire.atqa, "")}};
        card.text = {{"nfcid", nfcid}, {"atqa", hexText(m_wire.atqa, "")}, {"sak", sak}};
        if (m_wire.ats) {
            card.json.emplace_back("ats", hexText(*m_wire.ats, ""));
            card.text.emplace_back("ats", hexText(*m_wire.ats, ""));
        }
        card.text.emplace_back("type", type);
        break;
    }
    case AirInterface::Iso14443B:
        if (!m_shownThisPass)
            return std::nullopt;
        both("pupi", box(CardBox::BPupi));
        both("app_data", box(CardBox::BAppData));
        both("info", box(CardBox::BInfo));
        card.identity = box(CardBox::BPupi);
        break;
    case AirInterface::Felica:
        if (!m_shownThisPass)
            return std::nullopt;
        card.identity = box(CardBox::FelicaUid);
        card.json = {{"slot", box(CardBox::FelicaSlot)},
                     {"sub_response", box(CardBox::FelicaSubResp)},
                     {"uid", card.identity},
                     {"idm", card.identity}};
        card.text = {{"idm", card.identity},
                     {"slot", box(CardBox::FelicaSlot)},
                     {"sub_response", box(CardBox::FelicaSubResp)}};
        break;
    case AirInterface::Iso15693:
        if (!m_shownThisPass)
            return std::nullopt;
        card.identity = box(CardBox::Iso15693Uid);
        card.json = {{"dsfid", box(CardBox::Iso15693Dsfid)},
                     {"uid", card.identity},
                     {"uid_msb", reversedHex(card.identity)}};
        card.text = {{"uid_msb", reversedHex(card.identity)},
                     {"dsfid", box(CardBox::Iso15693Dsfid)}};
        break;
    }
    return card;
}

void PollView::print(const Card &card, std::string_view event)
{
    const auto now = m_wallClock();
    std::string line;
    if (m_setup.json) {
        JsonObject object;
        object.text("interface", airName(m_setup.air));
        for (const auto &[key, value] : card.json)
            object.text(key, value);
        object.text("event", event).text("time", isoTimestamp(now));
        line = object.str();
    } else {
        line = localTimestamp(now) + " " + std::string(event);
        if (event == "removed") {
            line += " " + card.text.front().first + "=" + card.text.front().second;
        } else {
            for (const auto &[key, value] : card.text)
                line += " " + key + "=" + value;
        }
    }
    m_out << line << std::endl;
}

void PollView::showIndicator(bool)
{
    // The indicator blinks once at the end of every pass.
    const std::optional<Card> card = cardOfPass();
    m_shownThisPass = false;
    const auto now = m_clock.now();
    if (card) {
        m_missed = 0;
        m_lastSeen = now;
        if (m_present && m_present->identity == card->identity)
            return;
        if (m_present)
            print(*m_present, "removed");
        m_present = card;
        ++m_cards;
        print(*card, "present");
        if (m_onCard)
            m_onCard();
        return;
    }
    if (m_present && ++m_missed >= kMissedPasses && now - m_lastSeen >= kGone) {
        print(*m_present, "removed");
        m_present.reset();
        m_missed = 0;
    }
}

} // namespace qn480::cli
