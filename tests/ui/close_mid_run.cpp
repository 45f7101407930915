// SPDX-License-Identifier: GPL-3.0-or-later
// Closes the window while a Type A run polls, through the tool's own start-up and event
// loop. The run must unwind with no port and the process end with status 0.
//
// Given a COM name, it polls that port (from QN480_PORTS) instead and waits for a stop
// signal to close it, as the tool does: a test sends the signal and looks at the port.

#include "application.h"
#include "fake_reader.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <iostream>

using namespace qn480;
using namespace qn480::testing;

namespace {

constexpr std::chrono::seconds kGiveUp{20};
constexpr int kPassesBeforeClose = 3;
constexpr int kNeverClosed = 3;
constexpr int kPortUsedAfterClose = 4;
constexpr int kNotConnected = 5;

int pollUntilSignalled(Application &app, const QString &port)
{
    return runMainWindow(app, {}, [&](TfrmMain &window) {
        closeOnStopSignals(window);
        QTimer::singleShot(0, &window, [&window, port] {
            auto *ports = window.findChild<QComboBox *>("cbxCommNo");
            ports->setCurrentIndex(ports->findText(port));
            window.findChild<QAbstractButton *>("btn_Connect")->click();
            if (!window.connected()) {
                QCoreApplication::exit(kNotConnected);
                return;
            }
            std::cout << "connected" << std::endl;
            window.findChild<QAbstractButton *>("btn_Read01")->click();
        });
        QTimer::singleShot(kGiveUp, &app, [] { QCoreApplication::exit(kNeverClosed); });
    });
}

} // namespace

int main(int argc, char **argv)
{
    Application app(argc, argv);
    if (argc > 1)
        return pollUntilSignalled(app, QString::fromLocal8Bit(argv[1]));
    FakeClock clock;
    FakeReader reader(clock);
    reader.always(0x0A, 0x00, 1);
    reader.always(0x00, 0x30, 1);
    reader.always(0x00, 0x31, 1);
    reader.always(0x0A, 0x10, 1, hex("04 00"));
    reader.always(0x0A, 0x12, 1, hex("12 34 56 78"));
    reader.always(0x0A, 0x13, 1, hex("08"));

    FrmMainDependencies deps{
        .listPorts =
            [] {
                return std::vector<PortEntry>{{"COM05", 5, "fake", ""}};
            },
        .openPort =
            [&](Link &link, const std::vector<PortEntry> &, int, std::string_view, OpenFailure *) {
                link.attach(reader.port());
                return true;
            },
        .clock = clock};

    bool closed = false;
    const int status = runMainWindow(app, deps, [&](TfrmMain &window) {
        reader.onRequest([&](const Bytes &) {
            if (!closed && reader.count(0x0A, 0x10) == kPassesBeforeClose) {
                closed = true;
                QTimer::singleShot(0, &window, [&window] { window.close(); });
            }
        });
        QTimer::singleShot(0, &window, [&window] {
            window.findChild<QAbstractButton *>("btn_Connect")->click();
            window.findChild<QAbstractButton *>("btn_Read01")->click();
        });
        QTimer::singleShot(kGiveUp, &app, [] { QCoreApplication::exit(kNeverClosed); });
    });

    if (status != 0)
        return status;
    if (!closed) {
        std::fprintf(stderr, "the window was not closed mid-run\n");
        return kNeverClosed;
    }
    if (reader.count(0x00, 0x31) != 0) {
        std::fprintf(stderr, "the carrier-off reached the reader after closing\n");
        return kPortUsedAfterClose;
    }
    return 0;
}
