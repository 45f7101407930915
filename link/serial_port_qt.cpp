// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial_port_qt.h"
#include "serial_platform.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <thread>

namespace qn480 {

namespace {

using std::chrono::steady_clock;

// How long a write may wait for room in a full transmit queue before the rest is dropped
// (the transaction's time-out then covers it). A full request takes 89 ms at 115200 baud.
constexpr std::chrono::milliseconds kWriteTimeout{200};

QtMessageHandler g_previousHandler = nullptr;

// Without an application object the thread has no event loop, and Qt says so each time
// the port switches its notifiers (or, on Windows, starts its write timer). The port never
// needs them: it waits, and writes, by itself.
void withoutNotifierWarnings(QtMsgType type, const QMessageLogContext &context,
                             const QString &message)
{
    if (type == QtWarningMsg &&
        (message.startsWith(QLatin1String("QSocketNotifier: Can only be used with threads")) ||
         message.startsWith(QLatin1String("QObject::startTimer: Timers can only be used"))))
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

void quietenPortWarningsWithoutApplication()
{
    static std::once_flag installed;
    std::call_once(installed,
                   [] { g_previousHandler = qInstallMessageHandler(withoutNotifierWarnings); });
}

namespace {

bool isLossError(QSerialPort::SerialPortError error)
{
    // Qt reports a removed device as a resource error, on some Windows drivers as a
    // permission or not-found error, and a hung-up Unix line as a failed read.
    switch (error) {
    case QSerialPort::ResourceError:
    case QSerialPort::PermissionError:
    case QSerialPort::DeviceNotFoundError:
    case QSerialPort::ReadError:
        return true;
    default:
        return false;
    }
}

QSerialPort::Parity parity(char code)
{
    switch (code) {
    case 'e':
        return QSerialPort::EvenParity;
    case 'o':
        return QSerialPort::OddParity;
    case 'm':
        return QSerialPort::MarkParity;
    case 's':
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

// The port's signals that say bytes came or the device went, for as long as it lives.
class SignalWatch final : public PortWatch
{
public:
    SignalWatch(QSerialPort &port, const std::function<void()> &ready)
        : m_connections{QObject::connect(&port, &QSerialPort::readyRead, ready),
                        QObject::connect(&port, &QSerialPort::errorOccurred, ready),
                        QObject::connect(&port, &QSerialPort::aboutToClose, ready)}
    {}
    ~SignalWatch() override
    {
        for (const auto &connection : m_connections)
            QObject::disconnect(connection);
    }
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

private:
    std::array<QMetaObject::Connection, 3> m_connections;
};

// The serial port through Qt Serial Port, with the contract of the Linux port: raw, exclusive,
// never blocking on a read, and the line given back as it was found (Qt restores it on
// close).
class QtPort final : public Port
{
public:
    QtPort(std::unique_ptr<QSerialPort> port, std::string device)
        : m_port(std::move(port))
        , m_device(std::move(device))
    {
        QObject::connect(m_port.get(), &QSerialPort::errorOccurred, m_port.get(),
                         [this](QSerialPort::SerialPortError error) { noteError(error); });
    }
    ~QtPort() override
    {
        QObject::disconnect(m_port.get(), &QSerialPort::errorOccurred, nullptr, nullptr);
        if (!m_port->isOpen())
            return;
        if (!m_lost)
            m_port->clear(QSerialPort::AllDirections);
        m_port->close();
    }
    QtPort(const QtPort &) = delete;
    QtPort &operator=(const QtPort &) = delete;

    void purge() override
    {
        if (!m_lost)
            m_port->clear(QSerialPort::AllDirections);
    }

    void write(std::span<const std::uint8_t> bytes) override
    {
        if (m_lost || bytes.empty())
            return;
        m_port->write(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<qint64>(bytes.size()));
        // Qt sends from its event loop; the request has to leave now.
        m_port->flush();
        const auto deadline = steady_clock::now() + kWriteTimeout;
        while (m_port->bytesToWrite() > 0 && !m_lost) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
            if (left.count() <= 0 || !m_port->waitForBytesWritten(static_cast<int>(left.count())))
                return;
        }
    }

    int queued() override
    {
        if (m_lost)
            return -1;
        return static_cast<int>(std::min<qint64>(m_port->bytesAvailable(), INT_MAX));
    }

    int read(std::span<std::uint8_t> bytes) override
    {
        if (m_lost)
            return -1;
        const qint64 got =
            m_port->read(reinterpret_cast<char *>(bytes.data()), static_cast<qint64>(bytes.size()));
        return static_cast<int>(got);
    }

    void waitReadable(std::chrono::nanoseconds slice) override
    {
        const auto deadline = steady_clock::now() + slice;
        if (m_lost) {
            std::this_thread::sleep_until(deadline);
            return;
        }
        if (m_port->bytesAvailable() > 0)
            return;
        // Qt waits in whole milliseconds: round up, so that a short slice still waits.
        const auto ms = std::max<std::chrono::milliseconds::rep>(
            1, std::chrono::ceil<std::chrono::milliseconds>(slice).count());
        m_port->clearError();
        if (m_port->waitForReadyRead(static_cast<int>(ms)) || m_port->bytesAvailable() > 0)
            return;
        const QSerialPort::SerialPortError error = m_port->error();
        if (error == QSerialPort::TimeoutError || m_lost)
            return;
        // Readable, yet nothing came (a read of 0 bytes, which Qt reports as no error or as
        // a failed read): the hang-up of a Unix line.
        if (error == QSerialPort::NoError && lossConfirmed())
            markLost();
        // Anything else failing takes the whole slice, so that the caller cannot spin.
        if (!m_lost)
            std::this_thread::sleep_until(deadline);
    }

    PortWait waitReadableOr(std::chrono::nanoseconds timeout, int wake) override
    {
        if (m_lost || m_port->bytesAvailable() > 0)
            return PortWait::Port;
        if (wake < 0) {
            // Nothing else to watch: Qt's own wait, without a look at the line before it.
            waitReadable(timeout);
            return PortWait::Port;
        }
        const auto deadline = steady_clock::now() + timeout;
        const auto waited = platform::waitLineOr(m_port->handle(), wake, timeout);
        if (!waited)
            return PortWait::Unsupported;
        if (*waited != platform::LineWait::Line)
            return *waited == platform::LineWait::Wake ? PortWait::Woken : PortWait::Port;
        // Qt reads what came (or finds the hang-up) in its own wait.
        waitReadable(std::chrono::milliseconds(1));
        if (m_lost || m_port->bytesAvailable() > 0)
            return PortWait::Port;
        // Readable, yet nothing to read: the rest of the time on the wake descriptor alone.
        const auto left = std::max<std::chrono::nanoseconds>(deadline - steady_clock::now(),
                                                             std::chrono::nanoseconds::zero());
        return platform::waitLineOr(std::nullopt, wake, left) == platform::LineWait::Wake
                   ? PortWait::Woken
                   : PortWait::Port;
    }

    std::unique_ptr<PortWatch> watchReadable(std::function<void()> wake) override
    {
        if (m_lost || !m_port->isOpen())
            return nullptr;
        return std::make_unique<SignalWatch>(*m_port, wake);
    }

    bool deviceLost() const override { return m_lost; }

    bool checkDevice() override
    {
        if (m_lost)
            return true;
        if (platform::lineHungUp(m_port->handle()).value_or(false) || nodeGone().value_or(false))
            markLost();
        return m_lost;
    }

private:
    void noteError(QSerialPort::SerialPortError error)
    {
        if (isLossError(error) && lossConfirmed())
            markLost();
    }

    // Qt's errors alone are not proof: it maps EAGAIN to a resource error, and on Windows a
    // purge aborts a pending read, whose completion some drivers fail. So a loss counts
    // when the line is hung up, or, where the platform cannot tell, the device is gone.
    bool lossConfirmed() const
    {
        if (const auto hungUp = platform::lineHungUp(m_port->handle()))
            return *hungUp;
        if (const auto gone = nodeGone())
            return *gone;
        return QSerialPortInfo(*m_port).isNull(); // no longer among the system's ports
    }

    // Whether an unplugged adapter's node has gone away; nothing for a name that is no path
    // to look at (a Windows COM name).
    std::optional<bool> nodeGone() const
    {
        if (!m_device.starts_with('/'))
            return std::nullopt;
        return !QFileInfo::exists(QString::fromStdString(m_device));
    }

    void markLost()
    {
        if (m_lost)
            return;
        m_lost = true;
        // Qt keeps watching a hung-up line, and its read fails again on every turn of the
        // event loop, which then spins until the owner closes the port. The descriptor is of
        // no more use: close it on the next turn, outside Qt's own notification.
        if (QAbstractEventDispatcher::instance(m_port->thread()) != nullptr) {
            QTimer::singleShot(0, m_port.get(), [port = m_port.get()] {
                if (port->isOpen())
                    port->close();
            });
        }
    }

    std::unique_ptr<QSerialPort> m_port;
    std::string m_device;
    bool m_lost = false;
};

// Whether the file's permissions let us read and write it: then a refusal is no denial.
bool permitted(const std::string &device)
{
    const QFileInfo file(QString::fromStdString(device));
    return file.isReadable() && file.isWritable();
}

std::string openReason(const QSerialPort &port, const std::string &device)
{
    const std::string text = port.errorString().toStdString();
    switch (port.error()) {
    case QSerialPort::PermissionError:
        // Qt tells a port held by another program and one we may not open alike.
        if (auto left = platform::leftExclusiveReason(device); left && permitted(device))
            return *left;
        return device + " is in use or access denied (" + text + ")";
    case QSerialPort::DeviceNotFoundError:
        return "no such device: " + device;
    default:
        return device + ": " + text;
    }
}

bool applySettings(QSerialPort &port, const LineSettings &settings)
{
    return port.setBaudRate(settings.baud) && port.baudRate() == settings.baud &&
           port.setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
           port.setParity(parity(settings.parity)) &&
           port.setStopBits(settings.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop) &&
           port.setFlowControl(QSerialPort::NoFlowControl);
}

} // namespace

std::unique_ptr<Port> openQtSerialDevice(const std::string &device, const LineSettings &settings,
                                         OpenFailure *failure)
{
    auto port = std::make_unique<QSerialPort>();
    port->setPortName(QString::fromStdString(device));
    if (!port->open(QIODevice::ReadWrite)) {
        // A device that is not there is told as the system would, so that callers can wait
        // for it (qn480ctl --wait) whichever backend runs.
        failOpen(failure, port->error() == QSerialPort::DeviceNotFoundError ? ENOENT : 0,
                 openReason(*port, device));
        return nullptr;
    }
    if (const int error = platform::lockQtPort(port->handle()); error != 0) {
        port->close();
        failOpen(failure, error,
                 error == EWOULDBLOCK ? device + " is in use by another program"
                                      : device + ": " + std::strerror(error));
        return nullptr;
    }
    if (!applySettings(*port, settings)) {
        port->close();
        failOpen(failure, 0, "line settings refused by " + device);
        return nullptr;
    }
    port->clear(QSerialPort::AllDirections);
    return std::make_unique<QtPort>(std::move(port), device);
}

} // namespace qn480
