// SPDX-License-Identifier: GPL-3.0-or-later
// The window polling the COM port named on the command line (from QN480_PORTS) with Type A
// until a stop signal closes it, as the tool does: a test sends the signal and looks at the
// port. Exits 3 when never closed, 5 when the port would not open.

#include "application.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <iostream>

using namespace qn480;

namespace {

constexpr std::chrono::seconds kGiveUp{20};
constexpr int kUsage = 2;
constexpr int kNeverClosed = 3;
constexpr int kNotConnected = 5;

} // namespace

int main(int argc, char **argv)
{
    Application app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s COMnn\n", argv[0]);
        return kUsage;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
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
