// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "clock.h"
#include "presence.h"

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace qn480 {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

// A card run on a terminal: every arrival ("present") and departure ("removed") handed to
// the command's sink, and the run's messages on `err`, each once until it changes. It lives for the
// whole command, so that a reader plugged in again does not report a card still lying there.
class PollView final : public CardObserver
{
public:
    struct Setup
    {
        AirInterface air = AirInterface::Iso14443A;
        bool quiet = false;
    };
    using Sink = std::function<void(const PresenceEvent &)>;
    PollView(Setup setup, std::ostream &err, const Clock &clock, Sink sink);

    // Called after each arrival has gone to the sink.
    void setOnCard(std::function<void()> onCard) { m_onCard = std::move(onCard); }
    // Called after each pass's events, between two passes.
    void setOnPass(std::function<void()> onPass) { m_onPass = std::move(onPass); }
    int cardsReported() const { return m_presence.arrivals(); }
    // The last message, printed or not (--quiet).
    const std::string &lastMessage() const { return m_lastMessage; }
    // The end of the command: the removal of the card still on the reader, if any.
    std::optional<PresenceEvent> end(RemovalCause cause) { return m_presence.end(cause); }
    // How the last run ended.
    std::optional<RunEnd> runEnd() const { return m_runEnd; }

    void runStarted() override { m_runEnd.reset(); }
    void stepStarting(CardStep step) override;
    void passEnded(const PassOutcome &outcome) override;
    void runEnded(const RunOutcome &outcome) override;

private:
    void tell(std::string_view message);

    Setup m_setup;
    std::ostream &m_err;
    Sink m_sink;
    std::function<void()> m_onCard;
    std::function<void()> m_onPass;
    PresenceTracker m_presence;
    std::string m_lastMessage;
    std::optional<RunEnd> m_runEnd;
};

} // namespace qn480
