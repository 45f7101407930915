// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_view.h"

#include "card_text.h"
#include "run_texts.h"
#include "status_text.h"
#include "text_util.h"

#include <utility>
#include <variant>
#include <vector>

namespace qn480 {

namespace {

// The text a page announces a card by on its status line.
std::string announcement(const Card &card)
{
    if (const auto *a = std::get_if<TypeACard>(&card))
        return uidText(a->uid);
    return hexText(identity(card), " ");
}

} // namespace

PollView::PollView(Setup setup, std::ostream &err, const Clock &clock, Sink sink)
    : m_setup(setup)
    , m_err(err)
    , m_sink(std::move(sink))
    , m_presence(clock)
{}

void PollView::tell(std::string_view message)
{
    if (message.empty() || message == m_lastMessage)
        return;
    m_lastMessage = message;
    if (!m_setup.quiet)
        m_err << message << std::endl;
}

void PollView::stepStarting(CardStep step)
{
    tell(runStepText(m_setup.air, step));
}

void PollView::passEnded(const PassOutcome &outcome)
{
    if (outcome.card) {
        // The card line says what the page's announcement would; it is not told again.
        if (std::string text = announcement(*outcome.card); !text.empty())
            m_lastMessage = std::move(text);
    } else {
        tell(StatusText(outcome.status));
    }
    for (const PresenceEvent &event : m_presence.pass(outcome.card)) {
        m_sink(event);
        if (event.kind == PresenceKind::Present && m_onCard)
            m_onCard();
    }
    if (m_onPass)
        m_onPass();
}

void PollView::runEnded(const RunOutcome &outcome)
{
    m_runEnd = outcome.end;
    tell(runEndText(m_setup.air, outcome));
}

} // namespace qn480
