// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_row.h"

#include "form_widgets.h"
#include "link.h"
#include "status_line.h"
#include "text_util.h"

#include <QComboBox>
#include <QFrame>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <iostream>

namespace qn480 {

namespace {

const QString kConnectCaption = QStringLiteral("Connect");
const QString kDisconnectCaption = QStringLiteral("Disconnect");
const std::string kConnectOk = " Connect OK!! ";
const std::string kConnectError = " Connect Error!! ";
const std::string kBlankStatus = " ";

// How often the port list is read again while disconnected, and the reader looked for while
// connected: a device plugged in shows within about a second.
constexpr std::chrono::milliseconds kPortWatchInterval{1000};
constexpr int kPortRowHeight = 65;

} // namespace

PortRow::PortRow(Link &link, StatusLine &status, ListPorts listPorts, OpenPortFn openPort,
                 Guard guard, HandlerDepth handlers, QWidget *parent)
    : QObject(parent)
    , m_link(link)
    , m_status(status)
    , m_listPorts(std::move(listPorts))
    , m_openPort(std::move(openPort))
    , m_guard(std::move(guard))
    , m_handlers(std::move(handlers))
{
    m_connection.requestStop();
    m_link.setLossHandler([this] { onDeviceLost(); });

    m_pnlCounect = makePanel(parent, QStringLiteral("pnlCounect"));
    m_pnlCounect->setFixedHeight(kPortRowHeight);

    m_cbxCommNo = clickFocus(new QComboBox(m_pnlCounect));
    m_cbxCommNo->setObjectName(QStringLiteral("cbxCommNo"));
    m_cbxCommNo->setEditable(false);
    m_cbxCommNo->setGeometry(183, 20, 160, m_cbxCommNo->sizeHint().height());
    // The closed box names the chosen device too, not only the entries of its list.
    connect(m_cbxCommNo, &QComboBox::currentIndexChanged, this, &PortRow::showChosenPort);
    connect(m_cbxCommNo, &QComboBox::activated, this,
            [this] { m_preferredPort = m_cbxCommNo->currentText(); });

    auto *label = makeFieldLabel(m_pnlCounect, QStringLiteral("Serial Port :"),
                                 QRect(109, 20, 70, 24), m_cbxCommNo);
    label->setObjectName(QStringLiteral("lblPort01"));

    m_btnConnect = makeButton(m_pnlCounect, QStringLiteral("btn_Connect"), kConnectCaption,
                              QRect(346, 20, 120, 25));
    connect(m_btnConnect, &QPushButton::clicked, this,
            [this] { m_guard([this] { btn_ConnectClick(); }); });

    m_portWatch = new QTimer(this);
    m_portWatch->setInterval(kPortWatchInterval);
    connect(m_portWatch, &QTimer::timeout, this, [this] { m_guard([this] { watchPorts(); }); });
    m_portWatch->start();
}

void PortRow::fillFromScratch()
{
    m_ports.clear();
    m_cbxCommNo->clear();
    fillPortList(m_listPorts());
}

void PortRow::fillPortList(std::vector<PortEntry> ports)
{
    if (ports == m_ports && m_cbxCommNo->count() == static_cast<int>(ports.size()))
        return;
    // The chosen entry stays chosen while it exists; the operator's own choice comes back
    // with its device.
    const QString current = m_cbxCommNo->currentText();
    m_ports = std::move(ports);
    const QSignalBlocker quiet(m_cbxCommNo);
    m_cbxCommNo->clear();
    for (const PortEntry &port : m_ports) {
        m_cbxCommNo->addItem(QString::fromStdString(port.name));
        std::string tip = port.device;
        if (!port.description.empty())
            tip += " - " + port.description;
        m_cbxCommNo->setItemData(m_cbxCommNo->count() - 1, plainToolTip(tip), Qt::ToolTipRole);
    }
    int index = m_cbxCommNo->findText(m_preferredPort);
    if (index < 0)
        index = m_cbxCommNo->findText(current);
    if (index < 0)
        index = m_ports.empty() ? -1 : 0;
    m_cbxCommNo->setCurrentIndex(index);
    showChosenPort();
}

// The closed box names the chosen device too, not only the entries of its list.
void PortRow::showChosenPort()
{
    m_cbxCommNo->setToolTip(
        m_cbxCommNo->itemData(m_cbxCommNo->currentIndex(), Qt::ToolTipRole).toString());
}

void PortRow::closePort()
{
    m_connection.requestStop();
    ClosePort(m_link);
    emit portClosed();
}

// Disconnect's own part: the port closed (and restored) and the button back to Connect.
void PortRow::disconnectPort()
{
    closePort();
    m_btnConnect->setText(kConnectCaption);
}

void PortRow::watchPorts()
{
    // While connected the list stays as it is; only the reader is looked for.
    if (connected()) {
        if (m_handlers() <= 1) // this timer's own handler: nothing else is running
            m_link.checkDevice();
        return;
    }
    fillPortList(m_listPorts());
}

void PortRow::onDeviceLost()
{
    // As Stop would: every loop ends at its next check, with its closing steps, which the
    // link no longer sends anywhere.
    emit readerLost();
    m_lossPending = true;
    if (m_handlers() == 0)
        finishDeviceLoss();
}

void PortRow::handlersEnded()
{
    if (m_lossPending)
        finishDeviceLoss();
}

void PortRow::finishDeviceLoss()
{
    m_lossPending = false;
    if (!connected())
        return; // disconnected or closed meanwhile
    // What Disconnect does, with the reason on the status line.
    m_status.hideIndicator();
    emit switching();
    disconnectPort();
    setStatus(kConnectError);
    const std::string reason = "the reader on " + m_device +
                               " was disconnected (unplugged or hung up); plug it in again and "
                               "press Connect";
    m_status.setToolTip(plainToolTip(reason));
    std::cerr << "qn480-tool: " << escapedText(reason) << '\n';
    fillPortList(m_listPorts());
}

void PortRow::btn_ConnectClick()
{
    // A click that arrives while this handler lets the window run starts nothing, as on a
    // disabled button: a storm of clicks must not pile up on the stack.
    if (m_connecting)
        return;
    m_connecting = true;
    const struct Done
    {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_connecting};

    const std::string text = m_cbxCommNo->currentText().toStdString();
    m_status.hideIndicator();
    emit switching();
    m_status.setToolTip({});
    m_link.processMessages();

    if (connected()) {
        disconnectPort();
        setStatus(kBlankStatus);
        return;
    }

    OpenFailure failure;
    if (!m_openPort(m_link, m_ports, portNumber(text), kReaderSettings, &failure)) {
        setStatus(kConnectError);
        m_status.setToolTip(plainToolTip(failure.reason));
        std::cerr << "qn480-tool: cannot open " << (text.empty() ? "a port" : text) << ": "
                  << escapedText(failure.reason) << '\n';
        return;
    }
    emit portOpened();
    m_preferredPort = QString::fromStdString(text);
    const auto entry = std::find_if(m_ports.begin(), m_ports.end(),
                                    [&](const PortEntry &port) { return port.name == text; });
    m_device = entry != m_ports.end() ? entry->device : text;
    setStatus(kConnectOk);
    m_btnConnect->setText(kDisconnectCaption);
    m_connection.reset();
}

void PortRow::setStatus(const std::string &text)
{
    m_status.setText(QString::fromStdString(text));
}

} // namespace qn480
