#pragma once

#include "frm_main.h"

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

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

} // namespace qn480
