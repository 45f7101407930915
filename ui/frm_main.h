// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_view.h"
#include "clock.h"
#include "link.h"
#include "port_list.h"
#include "serial_port.h"

#include <QString>
#include <QWidget>

#include <array>
#include <functional>
#include <string_view>
#include <vector>

class QCloseEvent;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTimer;

namespace qn480 {

class KeypadPage;

// What the window takes from the machine; tests replace these with fakes.
struct FrmMainDependencies
{
    using ListPorts = std::function<std::vector<PortEntry>()>;
    using OpenPortFn = std::function<bool(Link &, const std::vector<PortEntry> &, int,
                                          std::string_view, OpenFailure *)>;

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
};

// The tool's one window: the port row, the card pages, the SetKeypad page and the status bar.
// The handlers run on the UI thread and nest: a running card procedure lets the window process
// its events, which is how Stop, page changes and closing reach it.
class TfrmMain : public QWidget, private CardView
{
    Q_OBJECT

public:
    explicit TfrmMain(FrmMainDependencies dependencies = {}, QWidget *parent = nullptr);
    ~TfrmMain() override;

    const RunFlags &runFlags() const { return m_flags; }
    // sbMain.Hint: the UID the Type A procedures announced last.
    QString sbMainHint() const { return m_sbMainHint; }
    // Status-bar panel 0.
    QString statusText() const;
    Link &link() { return m_link; }

public slots:
    void FormCreate();
    void btn_ConnectClick();
    void pcMainChange();

    void btn_Read01Click();
    void btn_Read02Click();
    void btn_Read03Click();
    void btn_Read04Click();
    void btn_Read05Click();
    void btn_Stop01Click();
    void btn_Stop02Click();
    void btn_Stop03Click();
    void btn_Stop04Click();
    void btn_Stop05Click();

    void FormClose();
    // Reads the port list again while disconnected (the hot-plug timer calls it); while
    // connected, looks for the reader instead. Public so tests need not wait for the timer.
    void watchPorts();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    static constexpr int kPages = 5; // card pages, numbered 1 to 5 like their buttons

    // CardView
    void setStatus(const std::string &text) override;
    std::string status() const override;
    void setHint(const std::string &text) override;
    std::string hint() const override;
    void setBoxText(CardBox box, const std::string &text) override;
    std::string boxText(CardBox box) const override;
    void showIndicator(bool yellow) override;
    void hideIndicator() override;
    void beginRun(int page) override;
    void endRun(int page) override;

    QWidget *createPortRow();
    QWidget *createPages();
    void createCardPage(int page);
    QWidget *createStatusRow();
    template <typename Sender, typename Signal>
    void connectHandler(Sender *sender, Signal signal, void (TfrmMain::*handler)());
    void guarded(const std::function<void()> &handler);
    void onCurrentPageChanged(int index);
    void showChosenPort();
    void runCardProcedure(void (*procedure)(CardSession &));
    void stopCardProcedure(int page);
    void disableRunControls();
    void fillPortList(std::vector<PortEntry> ports);
    void onDeviceLost();
    void finishDeviceLoss();
    void disconnectPort();
    void createShortcuts();
    QPushButton *visiblePageButton(const std::array<QPushButton *, kPages + 1> &buttons);
    void readVisiblePage();
    void stopVisiblePage();
    void copyVisiblePageResults();

    FrmMainDependencies m_deps;
    Link m_link;
    RunFlags m_flags;
    QString m_sbMainHint;
    std::vector<PortEntry> m_ports;
    QString m_preferredPort; // the operator's choice, taken again when it comes back
    std::string m_device;    // path of the open port, for the operator when it goes away
    QTimer *m_portWatch = nullptr;
    int m_handlers = 0;         // handlers on the stack; a lost device is dealt with after them
    bool m_lossPending = false; // the reader went away and the port row still shows it
    bool m_connecting = false;  // btn_ConnectClick is on the stack
    std::array<int, kPages + 1> m_runs{}; // card runs of each page on the stack

    QFrame *m_pnlCounect = nullptr;
    QComboBox *m_cbxCommNo = nullptr;
    QPushButton *m_btnConnect = nullptr;
    QTabWidget *m_pcMain = nullptr;
    KeypadPage *m_keypadPage = nullptr; // ts_SetKeypad
    QFrame *m_shapeRun = nullptr;
    QStatusBar *m_sbMain = nullptr;
    QLabel *m_statusPanel = nullptr;

    std::array<QPushButton *, kPages + 1> m_readButtons{};
    std::array<QPushButton *, kPages + 1> m_stopButtons{};
    std::array<QWidget *, kPages + 1> m_cardSheets{}; // ts_ISO14443A .. ts_MifareInitialization
    std::array<QLineEdit *, 13> m_cardBoxes{};        // by CardBox
};

} // namespace qn480
