// SPDX-License-Identifier: GPL-3.0-or-later
#include "poll_view.h"

#include "card_text.h"
#include "reader_commands.h"
#include "status_text.h"
#include "text_util.h"

#include <utility>
#include <variant>
#include <vector>

namespace qn480::cli {

namespace {

using namespace qn480::commands;

struct AirTexts
{
    std::string_view configuring;
    std::string_view configureFailed;
};

// The messages of a run, as the window's pages show them.
AirTexts airTexts(AirInterface air)
{
    switch (air) {
    case AirInterface::Iso14443A:
        return {"Configure registers in the QN480 to serve ISO14443A transaction.",
                "Initialize 43A Mode Failed!"};
    case AirInterface::Iso14443B:
        return {"Configure registers in the QN480 to serve ISO14443B transaction.",
                "Initialize 43B Mode Failed!"};
    case AirInterface::Felica:
        return {"Configure registers in the QN480 to serve Felica transaction",
                "Initialize Felica Mode Failed!"};
    case AirInterface::Iso15693:
        return {"Configure registers in the QN480 to serve ISO15693 transaction",
                "Initialize Felica Mode Failed!"};
    }
    return {};
}

constexpr std::string_view kCarrierOn = "Start 13.56-MHz carrier emission";
constexpr std::string_view kCarrierOff = "Stop 13.56-MHz carrier emission";

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

void PollView::tellStatus(std::uint8_t status)
{
    tell(StatusText(status));
}

void PollView::stepStarting(CardStep step)
{
    if (step.code == kConfigure && step.group != kReaderGroup)
        tell(airTexts(m_setup.air).configuring);
    else if (step == CardStep{kReaderGroup, commands::kCarrierOn})
        tell(kCarrierOn);
    else if (step == CardStep{kReaderGroup, commands::kCarrierOff})
        tell(kCarrierOff);
}

void PollView::passEnded(const PassOutcome &outcome)
{
    if (outcome.card) {
        // The card line says what the page's announcement would; it is not told again.
        if (std::string text = announcement(*outcome.card); !text.empty())
            m_lastMessage = std::move(text);
    } else {
        tellStatus(outcome.status);
    }
    for (const PresenceEvent &event : m_presence.pass(outcome.card)) {
        m_sink(event);
        if (event.kind == PresenceKind::Present && m_onCard)
            m_onCard();
    }
}

void PollView::runEnded(const RunOutcome &outcome)
{
    m_runEnd = outcome.end;
    if (outcome.end == RunEnd::ConfigureRefused) {
        if (StatusText(outcome.status).empty())
            tell(airTexts(m_setup.air).configureFailed);
        else
            tellStatus(outcome.status);
    } else if (outcome.end == RunEnd::CarrierRefused) {
        tellStatus(outcome.status);
    }
}

} // namespace qn480::cli
