#include "application.h"

#include "process_guard.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include <exception>
#include <iostream>

namespace qn480 {

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        report(exceptionMessage(std::current_exception()));
    }
    // The handler ran and failed; nobody else should take the event up.
    return true;
}

void Application::report(const QString &message)
{
    if (m_reporter)
        m_reporter(message);
}

void Application::showInMessageBox(const QString &message)
{
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), message);
}

void reportException(std::exception_ptr exception)
{
    const QString message = exceptionMessage(std::move(exception));
    if (auto *app = qobject_cast<Application *>(QCoreApplication::instance()))
        app->report(message);
    else
        std::cerr << "qn480: " << message.toStdString() << '\n';
}

QString exceptionMessage(std::exception_ptr exception)
{
    try {
        std::rethrow_exception(std::move(exception));
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return {};
    }
}

void closeOnStopSignals(TfrmMain &window)
{
    const int fd = catchStopSignals();
    if (fd < 0)
        return;
    // The handler only wrote to the pipe; the close runs here, in the event loop, and also
    // from a card run's wait, as a click on the close box would.
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        drainStopSignals();
        window.close();
    });
}

int runMainWindow(Application &app, FrmMainDependencies dependencies,
                  const std::function<void(TfrmMain &)> &started)
{
    try {
        TfrmMain frmMain(std::move(dependencies));
        frmMain.show();
        if (started)
            started(frmMain);
        return QApplication::exec();
    } catch (...) {
        app.report(exceptionMessage(std::current_exception()));
    }
    return 1;
}

} // namespace qn480
