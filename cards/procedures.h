// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"

namespace qn480 {

class Link;

enum class CardProcedure {
    Iso14443A,
    Iso14443B,
    Felica,
    Iso15693,
    MifareInit, // Type A, for the MIFARE Plus initialization
};

// The procedure that polls `air`'s cards.
CardProcedure procedureFor(AirInterface air);

// A card procedure: the interface's set-up, the carrier on, passes until `stop` is
// requested, the carrier off. Returns when the run has ended, at once when `stop` is
// already requested; `observer` hears every step of it.
void runCardProcedure(CardProcedure procedure, Link &link, const StopToken &stop,
                      CardObserver &observer);

} // namespace qn480
