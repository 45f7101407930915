// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"

#include "process_guard.h"
#include "text_util.h"

#include <QMessageBox>
#include <QSocketNotifier>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace qn480 {

namespace {

const char kHelp[] = R"(Usage: qn480-tool [--help] [--version]

The QN480 bench tool: pick the reader's serial port, connect, then poll cards of one air
interface or read and write the reader's keyboard-emulation settings.

Keys in the window:
  F5            Read (Initialize) on the visible page, when it can be pressed; on
                SetKeypad, read the six settings again
  Esc           Stop on the visible page, when it can be pressed
  Ctrl+Shift+C  copy the visible page's results as one tab-separated line
  Ctrl+C        copy the selection of the result box clicked into; Ctrl+A selects all
  Ctrl+L        open the card log: every card seen this session, with its CSV and
                spreadsheet (.xlsx) export

Environment:
  QN480_PORTS   extra ports for the list: COMnn=/path/to/device, separated by ';'
  QN480_PORT    the port chosen at start, such as COM900, when the list holds it
                (otherwise the list's first entry)
  QN480_TRACE   1 writes every frame sent and received to standard error
  QN480_SERIAL_BACKEND  qt or termios: the serial port code (termios is Linux's default)

Options:
  -h, --help    print this text and exit
  --version     print the version and exit
)";

// An environment value cited in a message, quoted and with control characters made visible.
QString printable(const QByteArray &value)
{
    return QString::fromStdString(qn480::quoted(value.toStdString()));
}

struct HeldMessage
{
    QtMsgType type;
    std::string category;
    QString text;
};

std::mutex g_heldMutex;
std::vector<HeldMessage> g_held;
QtMessageHandler g_previousHandler = nullptr;

void holdMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        // Qt aborts once this returns; nothing of the half-made application may run.
        const std::string line = noDisplayMessage().toStdString() + '\n';
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    const std::lock_guard lock(g_heldMutex);
    g_held.push_back({type, context.category ? context.category : "", text});
}

} // namespace

std::optional<int> answerInformationOption(int argc, char **argv, std::ostream &out)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            out << kHelp;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            out << "qn480-tool " QN480_VERSION "\n";
        } else {
            continue;
        }
        out.flush();
        if (out)
            return 0;
        std::cerr << "qn480-tool: cannot write to standard output\n";
        return 1;
    }
    return std::nullopt;
}

QString noDisplayMessage()
{
    const QByteArray x11 = qgetenv("DISPLAY");
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    QString reason;
    if (!x11.isEmpty())
        reason = QStringLiteral("cannot connect to the X display %1").arg(printable(x11));
    else if (!wayland.isEmpty())
        reason = QStringLiteral("cannot connect to the Wayland display %1").arg(printable(wayland));
    else
        reason = QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set");
    return QStringLiteral("qn480-tool: no display found: ") + reason;
}

DisplayCheck::DisplayCheck()
{
    g_previousHandler = qInstallMessageHandler(&holdMessage);
}

DisplayCheck::~DisplayCheck()
{
    done();
}

void DisplayCheck::done()
{
    if (!m_active)
        return;
    m_active = false;
    qInstallMessageHandler(g_previousHandler);
    std::vector<HeldMessage> held;
    {
        const std::lock_guard lock(g_heldMutex);
        held.swap(g_held);
    }
    for (const HeldMessage &message : held) {
        const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
        g_previousHandler(message.type, context, message.text);
    }
}

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
