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
    Procedure procedure;
    int page;
    std::uint8_t group;
    const char *configureFailure;
};

const Page kPages[] = {
    {readIso14443A, 1, 0x0A, " Initialize 43A Mode Failed!"},
    {readIso14443B, 2, 0x0B, " Initialize 43B Mode Failed!"},
    {readFelica, 3, 0x0C, " Initialize Felica Mode Failed!"},
    {readIso15693, 4, 0x0D, " Initialize Felica Mode Failed!"},
    {initializeMifare, 5, 0x0A, " Initialize 43A Mode Failed!"},
};

std::size_t index(int page)
{
    return static_cast<std::size_t>(page);
}

} // namespace

TEST(RunSteps, ConfigureAndCarrierFailuresLeaveTheirMessage)
{
    const struct
    {
        std::optional<std::uint8_t> configure; // the answer's status; nothing: unanswered
        std::optional<std::uint8_t> carrier;
        const char *standing; // nullptr: the page's own configure failure
        std::size_t frames;
    } cases[] = {
        {0x22, {}, " Device received incorrect parameter.", 1},
        {{}, {}, nullptr, 1},
        {0x31, {}, nullptr, 1}, // a status without a message
        {0x01, 0xF4, " The QN480 don\u2019t response within defined timeout", 2},
        {0x01, {}, " ", 2}, // nothing to say, so the end steps' blank
    };
    for (const Page &page : kPages) {
        for (const auto &c : cases) {
            SCOPED_TRACE(page.page);
            CardRig rig;
            if (c.configure)
                rig.reader.answer(page.group, 0x00, *c.configure);
            if (c.carrier)
                rig.reader.answer(0x00, 0x30, *c.carrier);
            page.procedure(rig.session);
            EXPECT_EQ(rig.reader.requests().size(), c.frames); // no carrier-off
            EXPECT_EQ(rig.view.status(), c.standing ? c.standing : page.configureFailure);
            EXPECT_EQ(rig.view.indicator, "H");
            EXPECT_EQ(rig.view.runLog, (std::vector<int>{page.page, -page.page}));
            EXPECT_EQ(rig.flags.readTag.at(index(page.page)), 0);
        }
    }
}

TEST(RunSteps, ReadWhileDisconnectedRunsOnlyTheEndSteps)
{
    for (const Page &page : kPages) {
        CardRig rig;
        rig.flags.connectTag = 0;
        rig.flags.readTag.at(index(page.page)) = 1;
        page.procedure(rig.session);
        EXPECT_TRUE(rig.reader.requests().empty());
        EXPECT_EQ(rig.view.statusLog, std::vector<std::string>{" "});
        EXPECT_EQ(rig.view.indicator, "H");
        EXPECT_EQ(rig.view.runLog, std::vector<int>{-page.page});
        EXPECT_EQ(rig.flags.readTag.at(index(page.page)), 0);
    }
}

TEST(RunSteps, ExceptionEscapingTheStartStillRestoresTheControls)
{
    for (const Page &page : kPages) {
        CardRig rig;
        bool thrown = false;
        rig.pump = [&] {
            if (!std::exchange(thrown, true))
                throw std::runtime_error("window failed");
        };
        EXPECT_THROW(page.procedure(rig.session), std::runtime_error);
        EXPECT_TRUE(rig.reader.requests().empty());
        EXPECT_EQ(rig.view.runLog, (std::vector<int>{page.page, -page.page}));
        EXPECT_EQ(rig.view.indicator, "H");
        EXPECT_EQ(rig.flags.readTag.at(index(page.page)), 0);
    }
}
