// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_record.h"
#include "response.h"

#include <cstdint>
#include <optional>

namespace qn480 {

// Asks a card run to end. It is looked at between passes only, so a pass once begun always
// completes. A token may follow another (a page's own Stop beside the connection): it is
// stopped when either is.
class StopToken
{
public:
    explicit StopToken(const StopToken *parent = nullptr)
        : m_parent(parent)
    {}

    void requestStop() { m_stopped = true; }
    void reset() { m_stopped = false; }
    bool stopRequested() const
    {
        return m_stopped || (m_parent != nullptr && m_parent->stopRequested());
    }

private:
    const StopToken *m_parent;
    bool m_stopped = false;
};

// A reader command by its group and code (reader_commands.h).
struct CardStep
{
    std::uint8_t group = 0;
    std::uint8_t code = 0;
    bool operator==(const CardStep &) const = default;
};

struct StepOutcome
{
    CardStep step;
    TransactionResult result = TransactionResult::NoPort;
    std::uint8_t status = 0;
    std::int32_t dataLength = -1;
};

// The end of one pass: the card found, or none and the status byte that tells why (0x00,
// which has no message, when there is nothing to tell).
struct PassOutcome
{
    std::optional<Card> card;
    std::uint8_t status = 0;
};

enum class RunEnd {
    NotConnected,     // nothing was sent
    ConfigureRefused, // the reader did not take the interface's set-up
    CarrierRefused,   // nor switched the carrier on
    Stopped,          // the token ended the passes; the carrier went off
    Aborted,          // an exception left the run; it goes on to the caller
};

struct RunOutcome
{
    RunEnd end = RunEnd::Stopped;
    std::uint8_t status = 0; // the refusing answer's, for the two refusals
};

// What a card run tells while it goes on, in this order: the start, each command before it
// goes and with its outcome, each pass's end, the end. A Type A pass tells of a selected
// card before it asks for its type.
class CardObserver
{
public:
    virtual ~CardObserver() = default;
    virtual void runStarted() {}
    virtual void stepStarting(CardStep) {}
    virtual void stepDone(const StepOutcome &) {}
    virtual void cardSelected(const TypeACard &) {}
    virtual void passEnded(const PassOutcome &) {}
    virtual void runEnded(const RunOutcome &) {}
};

} // namespace qn480
