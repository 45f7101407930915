// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "clock.h"
#include "event_record.h"
#include "link.h"
#include "port_list.h"
#include "port_row.h"
#include "serial_port.h"
#include "status_line.h"

#include <QString>
#include <QWidget>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

class QCloseEvent;
class QFrame;
class QLabel;
class QSettings;
class QStatusBar;
class QTabWidget;

namespace qn480 {

class CardLogWindow;
class CardPage;
class KeypadPage;

// What the window takes from the machine; tests replace these with fakes.
struct FrmMainDependencies
{
    using ListPorts = PortRow::ListPorts;
    using OpenPortFn = PortRow::OpenPortFn;

    // Where the card log keeps its "Keep a log file" choice (the tool's settings when null)
    // and its file (the default card log path when empty). First, so that callers that keep
    // the defaults leave them out.
    QSettings *cardLogSettings = nullptr;
    std::filesystem::path cardLogPath{};
    // Times a card's absence for the card log. Apart from `clock`, which serves the link:
    // a probe there sees every read as part of the last transaction.
    Clock &presenceClock = steadyClock();

    // Asked again every second while disconnected; the system's ports are walked again
    // only when a device folder or a QN480_PORTS path has changed. A bad QN480_PORTS entry
    // is told once.
    ListPorts listPorts = [told = false, signature = std::string(),
                           ports = std::vector<PortEntry>()]() mutable {
        if (std::string now = portListSignature(); !told || now.empty() || now != signature) {
            signature = std::move(now);
            ports = qn480::listPorts({.warn = !told, .presentOnly = true});
            told = true;
        }
        return ports;
    };
    OpenPortFn openPort = [](Link &link, const std::vector<PortEntry> &ports, int number,
                             std::string_view settings, OpenFailure *failure) {
        return OpenPort(link, ports, number, settings, failure);
    };
    Clock &clock = steadyClock();
    // The port chosen at start when the list holds it (QN480_PORT, "COM900"); otherwise
    // the list's first entry.
    QString startPort = qEnvironmentVariable("QN480_PORT");
};

// The tool's one window: it composes the port row, the card pages, the SetKeypad page, the
// status bar and the card log, with the window's keys and its closing. The handlers run on
// the UI thread and nest: a running card procedure lets the window process its events, which
// is how Stop, page changes and closing reach it.
class TfrmMain : public QWidget
{
    Q_OBJECT

public:
    explicit TfrmMain(FrmMainDependencies dependencies = {}, QWidget *parent = nullptr);
    ~TfrmMain() override;

    bool connected() const { return m_portRow->connected(); }
    // Whether page 1 to 5 runs and has not been asked to stop.
    bool running(int page) const;
    // The run indicator's next colour: 1 yellow, 0 the edit boxes' background.
    int indicatorPhase() const;
    // sbMain.Hint: the UID the Type A pages announced last.
    QString sbMainHint() const;
    // Status-bar panel 0.
    QString statusText() const;
    Link &link() { return m_link; }
    PortRow &portRow() { return *m_portRow; }
    // The card log window, made on first use; hidden until opened.
    CardLogWindow &cardLog();

public slots:
    void FormCreate();
    void pcMainChange();
    void FormClose();
    // Shows the card log window in front (Ctrl+L, "Card log…").
    void openCardLog();
    // Puts the hidden MifareInitialization page back on the tab bar and shows it, for a
    // developer's run of its loop; any other page takes it off again. Hidden, it offers
    // nothing that can be pressed.
    void showMifarePage();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    static constexpr int kPages = 5; // card pages, numbered 1 to 5 like their buttons

    void setStatus(const std::string &text);

    QWidget *createPages();
    void createCardPages();
    QWidget *createStatusRow();
    template <typename Sender, typename Signal>
    void connectHandler(Sender *sender, Signal signal, void (TfrmMain::*handler)());
    void guarded(const std::function<void()> &handler);
    void onCurrentPageChanged();
    void hideMifarePage();
    void hideIndicator();
    void onRunFinished();
    void disableRunControls();
    void enableRunControls();
    void createShortcuts();
    CardPage *visibleCardPage() const;
    void readVisiblePage();
    void stopVisiblePage();
    void copyVisiblePageResults();
    void logPresence(const PresenceEvent &event);
    void showLogFailure(const QString &message);

    FrmMainDependencies m_deps;
    Link m_link;
    int m_handlers = 0; // handlers on the stack; a lost device is dealt with after them

    PortRow *m_portRow = nullptr; // pnlCounect
    QTabWidget *m_pcMain = nullptr;
    KeypadPage *m_keypadPage = nullptr; // ts_SetKeypad
    QFrame *m_shapeRun = nullptr;
    QStatusBar *m_sbMain = nullptr;
    QLabel *m_statusPanel = nullptr;

    StatusLine m_statusLine{this};
    std::array<CardPage *, kPages> m_cardPages{}; // ISO14443A .. MifareInitialization
    EventSequence m_events;                       // numbers this session's card events
    std::unique_ptr<CardLogWindow> m_cardLog;     // a window of its own, without a parent
    bool m_closed = false;                        // FormClose has run: nothing more is logged
};

} // namespace qn480
