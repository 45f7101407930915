// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_view.h"
#include "clock.h"
#include "link.h"
#include "options.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qn480::cli {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// "2026-03-01 14:05:09.042" in local time, for text lines and the trace; and
// "2026-03-01T13:05:09.042Z" for JSON.
std::string localTimestamp(std::chrono::system_clock::time_point time);
std::string isoTimestamp(std::chrono::system_clock::time_point time);

// What the frames of one Type A pass told about its card, in the order the card sent it.
// The page keeps only its own forms (the UID reversed, one ATQA byte); other NFC tools
// print these.
struct TypeAWire
{
    std::vector<std::uint8_t> atqa;                // both bytes of the answer to the request
    std::vector<std::vector<std::uint8_t>> levels; // the four bytes of each cascade level
    std::optional<std::uint8_t> sak;               // the final select answer
    bool moreLevels = false; // the last select answer asked for the next level
    std::optional<std::vector<std::uint8_t>> ats;
    std::optional<bool> probeSucceeded;

    // The UID without cascade tags: 4, 7 or 10 bytes.
    std::vector<std::uint8_t> nfcid() const;
    // Follows one traced frame: a request resets or extends the pass, a good response
    // fills in the answer to it.
    void follow(TraceDirection direction, std::span<const std::uint8_t> frame);

private:
    std::uint8_t m_code = 0;
    std::uint8_t m_level = 0;
};

// A card page on a terminal. It keeps the boxes, the hint and the status line as the window
// does, so the procedures behave exactly as there, and at the end of every pass tells of
// arrivals ("present") and departures ("removed"). A card is removed once it has been
// missed for two passes in a row and at least 100 ms, so a single failed pass does not
// report it twice. Status messages go to `err`, each once until it changes.
class PollView final : public CardView
{
public:
    struct Setup
    {
        AirInterface air = AirInterface::Iso14443A;
        bool json = false;
        bool quiet = false;
    };
    PollView(Setup setup, std::ostream &out, std::ostream &err, const Clock &clock,
             WallClock wallClock = {});

    // Called after each arrival line.
    void setOnCard(std::function<void()> onCard) { m_onCard = std::move(onCard); }
    int cardsReported() const { return m_cards; }
    // The last status message, printed or not (--quiet).
    const std::string &lastMessage() const { return m_lastMessage; }
    void follow(TraceDirection direction, std::span<const std::uint8_t> frame);

    void setStatus(const std::string &text) override;
    std::string status() const override { return m_status; }
    void setHint(const std::string &text) override { m_hint = text; }
    std::string hint() const override { return m_hint; }
    void setBoxText(CardBox box, const std::string &text) override;
    std::string boxText(CardBox box) const override;
    void showIndicator(bool yellow) override;
    void hideIndicator() override {}
    void beginRun(int) override {}
    void endRun(int) override {}

    // One card as a line carries it: the JSON fields and the text fields, in order.
    struct Card
    {
        std::string identity; // the UID that tells cards apart
        std::vector<std::pair<std::string, std::string>> json;
        std::vector<std::pair<std::string, std::string>> text;
    };

private:
    std::optional<Card> cardOfPass();
    void print(const Card &card, std::string_view event);

    Setup m_setup;
    std::ostream &m_out;
    std::ostream &m_err;
    const Clock &m_clock;
    WallClock m_wallClock;
    std::function<void()> m_onCard;

    std::string m_status;
    std::string m_hint;
    std::map<CardBox, std::string> m_boxes;
    TypeAWire m_wire;

    bool m_shownThisPass = false;
    std::optional<Card> m_present; // the card in the field
    std::chrono::nanoseconds m_lastSeen{};
    int m_missed = 0; // passes in a row without m_present
    std::string m_lastMessage;
    int m_cards = 0;
};

} // namespace qn480::cli
