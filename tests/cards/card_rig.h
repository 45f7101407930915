// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A card run without a window: an observer that records what the procedures report, and a
// rig that runs a procedure against the scripted reader for a given number of passes.
#include "card_run.h"
#include "fake_reader.h"
#include "link.h"
#include "procedures.h"

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qn480::testing {

class RecordingObserver final : public CardObserver
{
public:
    void runStarted() override { log += 'S'; }
    void stepStarting(CardStep step) override { steps.push_back(step); }
    void stepDone(const StepOutcome &outcome) override { outcomes.push_back(outcome); }
    void cardSelected(const TypeACard &card) override
    {
        if (std::exchange(failOnSelected, false))
            throw std::runtime_error("the page refused the card");
        selected.push_back(card);
    }
    void passEnded(const PassOutcome &outcome) override
    {
        log += outcome.card ? 'C' : 'N';
        passes.push_back(outcome);
        if (onPass)
            onPass();
    }
    void runEnded(const RunOutcome &outcome) override
    {
        log += 'E';
        ends.push_back(outcome);
    }

    // The cards of the passes that found one, in order.
    std::vector<Card> cards() const
    {
        std::vector<Card> out;
        for (const PassOutcome &pass : passes) {
            if (pass.card)
                out.push_back(*pass.card);
        }
        return out;
    }
    template <class T> T lastCard() const
    {
        const auto all = cards();
        if (all.empty())
            throw std::logic_error("no card reported");
        return std::get<T>(all.back());
    }

    // 'S' the start, 'C' a pass with a card, 'N' one without, 'E' the end.
    std::string log;
    std::vector<CardStep> steps;
    std::vector<StepOutcome> outcomes;
    std::vector<TypeACard> selected;
    std::vector<PassOutcome> passes;
    std::vector<RunOutcome> ends;
    bool failOnSelected = false; // the next selected card throws
    std::function<void()> onPass;
};

class CardRig
{
public:
    CardRig()
    {
        link.attach(reader.port());
        link.setPump([this] {
            if (pump)
                pump();
        });
    }

    // Runs `procedure` and presses Stop when the `passes`th request of the pass command
    // (group, code) has gone out, so that pass is the last.
    void run(CardProcedure procedure, std::uint8_t group, std::uint8_t code, int passes)
    {
        m_sent = 0;
        reader.onRequest([=, this](const Bytes &request) {
            if (request.size() > 6 && request[5] == group && request[6] == code) {
                if (++m_sent == passes)
                    stop.requestStop();
            }
            if (onRequest)
                onRequest(request);
        });
        start(procedure);
    }

    // As Read: the page's own token cleared, then the run.
    void start(CardProcedure procedure)
    {
        stop.reset();
        runCardProcedure(procedure, link, stop, observer);
    }

    std::vector<std::string> frames() const
    {
        std::vector<std::string> out;
        for (const Bytes &request : reader.requests())
            out.push_back(hexText(request));
        return out;
    }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
    RecordingObserver observer;
    StopToken connection;
    StopToken stop{&connection};
    std::function<void()> pump;
    std::function<void(const Bytes &)> onRequest;

private:
    int m_sent = 0; // pass requests of the run so far
};

inline constexpr std::uint8_t kNoCardStatus = 0xE0; // "There is no card or card doesn't respond."

} // namespace qn480::testing
