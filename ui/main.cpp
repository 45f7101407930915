// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"
#include "frm_main.h"
#include "link.h"
#include "process_guard.h"
#include "trace.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>

// qn480-tool: the QN480 bench tool. It takes no arguments but --help and --version;
// QN480_TRACE=1 writes every frame sent and received to stderr.
int main(int argc, char **argv)
{
    // Before anything is opened: the port must never become standard error.
    qn480::openMissingStandardDescriptors();
    if (const std::optional<int> status = qn480::answerInformationOption(argc, argv, std::cout))
        return *status;
    qn480::DisplayCheck displayCheck;
    qn480::Application app(argc, argv);
    displayCheck.done();
    const char *trace = std::getenv("QN480_TRACE");
    const bool tracing = trace && std::strcmp(trace, "1") == 0;
    return qn480::runMainWindow(app, {}, [tracing](qn480::TfrmMain &window) {
        qn480::closeOnStopSignals(window);
        if (tracing)
            window.link().setTrace(qn480::streamTrace(std::cerr));
    });
}
