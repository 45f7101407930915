// SPDX-License-Identifier: GPL-3.0-or-later
// Every card procedure against a reader whose answers, and the operator's clicks between
// them, come from the fuzz input. A run ends after a bounded number of requests, when the
// input's Stop, page change or closing of the window does not end it first.
//
// Input: procedure (0-4), request limit, then the reader's answers (fuzzed_reader.h).

#include "checking_views.h"
#include "fuzzed_reader.h"
#include "text_checks.h"

#include "keypad.h"
#include "link.h"
#include "procedures.h"

#include <array>
#include <cstdint>

namespace {

using namespace qn480;
using namespace qn480::fuzz;

constexpr int kMaxRequests = 64;
// Past the limit the run may still finish the pass under way (up to six more Type A
// commands), a page showing under way (five more Gets) and the carrier off.
constexpr int kRequestsAfterLimit = 6 + 5 + 1;

constexpr std::array<CardProcedure, 5> kProcedures{{
    CardProcedure::Iso14443A,
    CardProcedure::Iso14443B,
    CardProcedure::Felica,
    CardProcedure::Iso15693,
    CardProcedure::MifareInit,
}};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input({data, size});
    const CardProcedure procedure = kProcedures[input.byte() % kProcedures.size()];
    const int limit = 1 + input.byte() % kMaxRequests;

    testing::FakeClock clock;
    FuzzedReader reader(clock, input, limit);
    Link link(clock);
    link.attach(reader.port());
    // The connection's token, and the page's own beside it.
    StopToken connection;
    StopToken running(&connection);
    CheckingCardObserver observer(procedure);
    CheckingKeypadObserver keypadObserver;
    Keypad keypad(link, &keypadObserver);
    reader.onLimit([&] { running.requestStop(); });
    // The window's event processing: clicks the input made while a transaction waited.
    bool inHandler = false;
    link.setPump([&] {
        if (inHandler)
            return;
        inHandler = true;
        const OperatorAction action = reader.takeAction();
        // Past the limit only what ends the run still happens, so the run stays bounded.
        switch (reader.limitReached() && action == OperatorAction::Nested ? OperatorAction::None
                                                                          : action) {
        case OperatorAction::None:
            break;
        case OperatorAction::Stop:
        case OperatorAction::ChangePage:
            running.requestStop();
            break;
        case OperatorAction::Close:
            running.requestStop();
            connection.requestStop();
            link.close();
            break;
        case OperatorAction::Nested:
            // The SetKeypad page shown mid-run: its six Gets, then the page change.
            keypad.readAll();
            running.requestStop();
            break;
        }
        inHandler = false;
    });

    runCardProcedure(procedure, link, running, observer);

    observer.checkEnded();
    expect(reader.requests() <= limit + kRequestsAfterLimit, "requests after the run was stopped");
    return 0;
}
