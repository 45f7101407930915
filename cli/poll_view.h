#pragma once

#include "card_view.h"
#include "options.h"

#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace qn480::cli {

// The boxes of one card page and the line qn480ctl prints for the card they show.
std::string cardLine(AirInterface air, const CardView &view, bool json);

// A card page on a terminal. It keeps the boxes, the hint and the status line as the window
// does, so the procedures behave exactly as there, and at the end of every pass prints one
// line for a card that was not in the field in the pass before: a card left lying on the
// reader is reported once. Status messages go to `err`, each once until it changes.
class PollView final : public CardView
{
public:
    PollView(AirInterface air, bool json, std::ostream &out, std::ostream &err);

    // Called after each card line.
    void setOnCard(std::function<void()> onCard) { m_onCard = std::move(onCard); }
    int cardsReported() const { return m_cards; }

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

private:
    AirInterface m_air;
    bool m_json;
    std::ostream &m_out;
    std::ostream &m_err;
    std::function<void()> m_onCard;

    std::string m_status;
    std::string m_hint;
    std::map<CardBox, std::string> m_boxes;

    bool m_shownThisPass = false;
    std::string m_lastCard;    // the line of the card of the pass before; empty: none
    std::string m_lastMessage; // the status message printed last
    int m_cards = 0;
};

} // namespace qn480::cli
