// SPDX-License-Identifier: GPL-3.0-or-later
// The link's Qt part: the thread's event loop, the Qt Serial Port backend and Qt's port
// listing, lent to the core when a program links this library.
#include "qt_services.h"
#include "serial_port_qt.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTimer>

namespace qn480 {

namespace {

// A port's readiness from the event loop.
class NotifierWatch final : public PortWatch
{
public:
    NotifierWatch(int fd, std::function<void()> ready)
        : m_notifier(fd, QSocketNotifier::Read)
    {
        QObject::connect(&m_notifier, &QSocketNotifier::activated,
                         [ready = std::move(ready)] { ready(); });
    }

private:
    QSocketNotifier m_notifier;
};

bool hasEventLoop()
{
    return QAbstractEventDispatcher::instance() != nullptr;
}

void runEventLoop(std::chrono::nanoseconds left, bool &woken)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, [&woken] { woken = true; });
    deadline.start(std::chrono::ceil<std::chrono::milliseconds>(left));
    // The thread's events one batch at a time, sleeping in between, rather than a
    // QEventLoop: entering one drops the quit that closing the last window has posted.
    while (!woken)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

std::unique_ptr<PortWatch> watchDescriptor(int fd, std::function<void()> ready)
{
    return std::make_unique<NotifierWatch>(fd, std::move(ready));
}

std::vector<SystemPort> systemPorts()
{
    std::vector<SystemPort> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        ports.push_back({info.portName().toStdString(), info.systemLocation().toStdString(),
                         info.description().toStdString(), info.manufacturer().toStdString(),
                         info.serialNumber().toStdString()});
    }
    return ports;
}

// Filled before main runs; the library is linked whole, so this is never left out.
const bool g_lent = [] {
    QtServices &services = qtServices();
    services.hasEventLoop = hasEventLoop;
    services.runEventLoop = runEventLoop;
    services.watchDescriptor = watchDescriptor;
    services.openPort = openQtSerialDevice;
    services.systemPorts = systemPorts;
    return true;
}();

} // namespace

} // namespace qn480
