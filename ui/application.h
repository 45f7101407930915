// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "frm_main.h"

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <ostream>

namespace qn480 {

// The tool's application object. An exception that escapes an event handler is shown to the
// operator and the event loop goes on, so one failed click never takes the window down.
class Application : public QApplication
{
    Q_OBJECT

public:
    using Reporter = std::function<void(const QString &message)>;

    Application(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // How exceptions are shown; the toolkit's standard message box unless replaced.
    void setReporter(Reporter reporter) { m_reporter = std::move(reporter); }
    void report(const QString &message);
    static void showInMessageBox(const QString &message);

private:
    Reporter m_reporter = &Application::showInMessageBox;
};

// Shows an exception caught at the edge of a handler the way notify() shows one that
// escaped; outside an Application it goes to standard error.
void reportException(std::exception_ptr exception);

// The text an exception is shown with: what() of a standard exception, else the empty text.
QString exceptionMessage(std::exception_ptr exception);

// From now on SIGINT, SIGTERM and SIGHUP close the window as its close box does (FormClose:
// runs end, the port is given back as it was found), and the event loop then ends with 0.
void closeOnStopSignals(TfrmMain &window);

// Creates the window, calls `started` with it, and runs the event loop until the window is
// closed. An exception from start-up or from the loop itself is reported and ends the run
// with status 1; the window lives on this stack, so it outlives every handler it runs.
int runMainWindow(Application &app, FrmMainDependencies dependencies = {},
                  const std::function<void(TfrmMain &)> &started = {});

// Answers --help and --version on `out` and gives the exit status; nothing for any other
// command line, which goes on to open the window.
std::optional<int> answerInformationOption(int argc, char **argv, std::ostream &out);

// From construction until done(): Qt's messages are held back, and a window system that does
// not start ends the program with one line on standard error and status 1, not Qt's abort
// and its advice for developers. done() lets the held messages through.
class DisplayCheck
{
public:
    DisplayCheck();
    ~DisplayCheck();
    DisplayCheck(const DisplayCheck &) = delete;
    DisplayCheck &operator=(const DisplayCheck &) = delete;

    void done();

private:
    bool m_active = true;
};

// The line DisplayCheck prints, from the environment it was started in.
QString noDisplayMessage();

} // namespace qn480
