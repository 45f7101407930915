// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "port_list.h"
#include "serial_port.h"

#include <QObject>
#include <QString>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QComboBox;
class QFrame;
class QPushButton;
class QTimer;
class QWidget;

namespace qn480 {

class Link;
class StatusLine;

// The port row, pnlCounect: the port list, Connect/Disconnect, the watch for ports plugged in
// and the loss of the reader. It opens and closes the link's port and writes its outcomes to
// the status line; it knows nothing of the pages, and tells the window through its signals.
class PortRow : public QObject
{
    Q_OBJECT

public:
    using ListPorts = std::function<std::vector<PortEntry>()>;
    using OpenPortFn = std::function<bool(Link &, const std::vector<PortEntry> &, int,
                                          std::string_view, OpenFailure *)>;
    // Runs a handler as the window runs its own: counted, and its exceptions reported.
    using Guard = std::function<void(const std::function<void()> &)>;
    // How many of the window's handlers are on the stack.
    using HandlerDepth = std::function<int()>;

    PortRow(Link &link, StatusLine &status, ListPorts listPorts, OpenPortFn openPort, Guard guard,
            HandlerDepth handlers, QWidget *parent);

    QFrame *panel() const { return m_pnlCounect; }
    // Stopped while disconnected; the card runs follow it.
    const StopToken &connection() const { return m_connection; }
    bool connected() const { return !m_connection.stopRequested(); }

    // The port list from scratch, its first entry chosen.
    void fillFromScratch();
    // The entry to choose whenever the list holds it, until the operator chooses another.
    void preferPort(const QString &name) { m_preferredPort = name; }
    // The button's handler: connects, or disconnects while connected.
    void btn_ConnectClick();
    // Reads the port list again while disconnected (the hot-plug timer calls it); while
    // connected, looks for the reader instead. Public so tests need not wait for the timer.
    void watchPorts();
    // Closes (and restores) the port, as the window's closing does: the caption stays.
    void closePort();
    // The window's handlers have all ended: a reader lost meanwhile is dealt with now, so
    // that their own closing steps (clearing the status line) come first.
    void handlersEnded();

signals:
    // Connect or Disconnect begins, or the reader is gone: the runs end and their controls
    // lock.
    void switching();
    // The port is open: the pages may run.
    void portOpened();
    // The port is closed.
    void portClosed();
    // The reader went away; Disconnect's own steps follow once the handlers have ended.
    void readerLost();

private:
    void fillPortList(std::vector<PortEntry> ports);
    void showChosenPort();
    void disconnectPort();
    void onDeviceLost();
    void finishDeviceLoss();
    void setStatus(const std::string &text);

    Link &m_link;
    StatusLine &m_status;
    ListPorts m_listPorts;
    OpenPortFn m_openPort;
    Guard m_guard;
    HandlerDepth m_handlers;
    StopToken m_connection;
    std::vector<PortEntry> m_ports;
    QString m_preferredPort;    // the operator's choice, taken again when it comes back
    std::string m_device;       // path of the open port, for the operator when it goes away
    bool m_lossPending = false; // the reader went away and the port row still shows it
    bool m_connecting = false;  // btn_ConnectClick is on the stack

    QFrame *m_pnlCounect = nullptr;
    QComboBox *m_cbxCommNo = nullptr;
    QPushButton *m_btnConnect = nullptr;
    QTimer *m_portWatch = nullptr;
};

} // namespace qn480
