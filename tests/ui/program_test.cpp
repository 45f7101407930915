// SPDX-License-Identifier: GPL-3.0-or-later
// qn480-tool as a shell starts it: --help and --version answer without a window, and without
// a display it says so in one line instead of aborting.

#include "child_process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qn480::testing {
namespace {

struct Start
{
    std::vector<std::string> args;
    std::vector<std::string> env;
    int code;
    std::string outStart; // what standard output begins with
    std::string err;
};

TEST(ProgramTest, AnswersItsOptionsAndExitsWithoutADisplay)
{
    // Empty means unset to Qt; the test runner's offscreen platform must not leak in.
    const std::vector<std::string> headless{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="};
    const Start starts[] = {
        {{"--help"}, headless, 0, "Usage: qn480-tool [--help] [--version]\n", ""},
        {{"-h"}, headless, 0, "Usage: qn480-tool", ""},
        {{"--version"}, headless, 0, "qn480-tool " QN480_VERSION "\n", ""},
        {{},
         headless,
         1,
         "",
         "qn480-tool: no display found: neither DISPLAY nor WAYLAND_DISPLAY is set\n"},
        {{},
         {"DISPLAY=:4093", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="},
         1,
         "",
         "qn480-tool: no display found: cannot connect to the X display \":4093\"\n"},
    };
    for (const Start &start : starts) {
        const std::string what = start.args.empty() ? start.env.front() : start.args.front();
        const Finished run = runToEnd(QN480_TOOL_PATH, start.args, start.env);
        EXPECT_EQ(run.code, start.code) << what;
        EXPECT_EQ(run.out.substr(0, start.outStart.size()), start.outStart) << what;
        if (start.outStart.empty()) {
            EXPECT_EQ(run.out, "") << what;
        }
        EXPECT_EQ(run.err, start.err) << what;
    }
}

} // namespace
} // namespace qn480::testing
