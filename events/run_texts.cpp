// SPDX-License-Identifier: GPL-3.0-or-later
#include "run_texts.h"

#include "reader_commands.h"
#include "status_text.h"

namespace qn480 {

namespace {

using namespace commands;

struct SetUpTexts
{
    std::string_view configuring;
    std::string_view failed;
};

SetUpTexts setUpTexts(AirInterface air)
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
        // Its set-up fails with the FeliCa text too.
        return {"Configure registers in the QN480 to serve ISO15693 transaction",
                "Initialize Felica Mode Failed!"};
    }
    return {};
}

} // namespace

std::string_view runStepText(AirInterface air, CardStep step)
{
    if (step.code == kConfigure && step.group != kReaderGroup)
        return setUpTexts(air).configuring;
    if (step == CardStep{kReaderGroup, kCarrierOn})
        return "Start 13.56-MHz carrier emission";
    if (step == CardStep{kReaderGroup, kCarrierOff})
        return "Stop 13.56-MHz carrier emission";
    return {};
}

std::string_view runEndText(AirInterface air, const RunOutcome &outcome)
{
    if (outcome.end != RunEnd::ConfigureRefused && outcome.end != RunEnd::CarrierRefused)
        return {};
    const std::string_view reader = StatusText(outcome.status);
    if (reader.empty() && outcome.end == RunEnd::ConfigureRefused)
        return setUpTexts(air).failed;
    return reader;
}

} // namespace qn480
