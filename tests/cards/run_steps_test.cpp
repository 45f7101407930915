// SPDX-License-Identifier: GPL-3.0-or-later
// What the five card pages share around their passes: the start and end steps.
#include "card_rig.h"
#include "procedures.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

using namespace qn480;
using namespace qn480::testing;

namespace {

struct Page
{
    CardProcedure procedure;
    int page;
    std::uint8_t group;
};

const Page kPages[] = {
    {CardProcedure::Iso14443A, 1, 0x0A},  {CardProcedure::Iso14443B, 2, 0x0B},
    {CardProcedure::Felica, 3, 0x0C},     {CardProcedure::Iso15693, 4, 0x0D},
    {CardProcedure::MifareInit, 5, 0x0A},
};

} // namespace

TEST(RunSteps, ConfigureAndCarrierRefusalsEndTheRun)
{
    const struct
    {
        std::optional<std::uint8_t> configure; // the answer's status; nothing: unanswered
        std::optional<std::uint8_t> carrier;
        RunEnd end;
        std::uint8_t status; // the refusal's
        std::size_t frames;
    } cases[] = {
        {0x22, {}, RunEnd::ConfigureRefused, 0x22, 1}, {{}, {}, RunEnd::ConfigureRefused, 0x00, 1},
        {0x31, {}, RunEnd::ConfigureRefused, 0x31, 1}, // a status without a message
        {0x01, 0xF4, RunEnd::CarrierRefused, 0xF4, 2}, {0x01, {}, RunEnd::CarrierRefused, 0x00, 2},
    };
    for (const Page &page : kPages) {
        for (const auto &c : cases) {
            SCOPED_TRACE(page.page);
            CardRig rig;
            if (c.configure)
                rig.reader.answer(page.group, 0x00, *c.configure);
            if (c.carrier)
                rig.reader.answer(0x00, 0x30, *c.carrier);
            rig.start(page.procedure);
            EXPECT_EQ(rig.reader.requests().size(), c.frames); // no carrier-off
            EXPECT_EQ(rig.observer.log, "SE");
            ASSERT_EQ(rig.observer.ends.size(), 1u);
            EXPECT_EQ(rig.observer.ends[0].end, c.end);
            EXPECT_EQ(rig.observer.ends[0].status, c.status);
        }
    }
}

// Read while disconnected only ends; a failure of the window's before the first command
// still ends the run, as aborted.
TEST(RunSteps, ARunThatCannotStartStillEnds)
{
    for (const Page &page : kPages) {
        for (bool connected : {false, true}) {
            SCOPED_TRACE(page.page);
            CardRig rig;
            if (connected) {
                rig.pump = [thrown = false]() mutable {
                    if (!std::exchange(thrown, true))
                        throw std::runtime_error("window failed");
                };
                EXPECT_THROW(rig.start(page.procedure), std::runtime_error);
            } else {
                rig.connection.requestStop();
                rig.start(page.procedure);
            }
            EXPECT_TRUE(rig.reader.requests().empty());
            EXPECT_EQ(rig.observer.log, connected ? "SE" : "E");
            EXPECT_EQ(rig.observer.ends.at(0).end,
                      connected ? RunEnd::Aborted : RunEnd::NotConnected);
        }
    }
}
