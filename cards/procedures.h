// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_view.h"

namespace qn480 {

// The card pages' procedures. Each returns when its loop has ended (at once when not
// connected); Stop, a page change or closing the window end it by clearing run flags.
void readIso14443A(CardSession &session);    // btn_Read01Click
void readIso14443B(CardSession &session);    // btn_Read02Click
void readFelica(CardSession &session);       // btn_Read03Click
void readIso15693(CardSession &session);     // btn_Read04Click
void initializeMifare(CardSession &session); // btn_Read05Click

} // namespace qn480
