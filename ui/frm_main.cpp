// SPDX-License-Identifier: GPL-3.0-or-later
#include "frm_main.h"

#include "application.h"
#include "card_log_window.h"
#include "card_page.h"
#include "form_widgets.h"
#include "keypad_page.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace qn480 {

namespace {

const QString kCaption = QStringLiteral("QN480 Test Tools V0102 [2013-09-17]");
const std::string kBlankStatus = " ";

constexpr QSize kWindowSize{800, 520};
constexpr int kStatusRowHeight = 30;
constexpr QSize kIndicatorSize{30, 30};
constexpr int kMifarePage = 5; // hidden: it leaves the tab bar

// The form's 13-pixel face. Where it is missing, a face of similar width keeps the captions
// inside the boxes the form gives them: Liberation Sans (fonts-liberation2) or DejaVu Sans
// Condensed (fonts-dejavu-extra). Plain DejaVu Sans is too wide for several of them.
QFont formFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans Condensed")});
    font.setPixelSize(13);
    return font;
}

const char *const kFrameProperty = "qn480Frame";

QAccessibleInterface *frameAccessible(const QString &, QObject *object)
{
    if (object->isWidgetType() && object->property(kFrameProperty).toBool())
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::Window);
    return nullptr;
}

} // namespace

void announceAsFrame(QWidget *window)
{
    static const bool registered = (QAccessible::installFactory(&frameAccessible), true);
    Q_UNUSED(registered);
    window->setProperty(kFrameProperty, true);
}

TfrmMain::TfrmMain(FrmMainDependencies dependencies, QWidget *parent)
    : QWidget(parent)
    , m_deps(std::move(dependencies))
    , m_link(m_deps.clock)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(kCaption);
    setFont(formFont());
    announceAsFrame(this);

    m_link.setPump([] { QCoreApplication::processEvents(); });
    // A transaction waits in the window's own event handling, woken by the port or its
    // deadline: no wake-ups while the reader is silent.
    m_link.useEventLoop(true);

    m_portRow = new PortRow(
        m_link, m_statusLine, m_deps.listPorts, m_deps.openPort,
        [this](const std::function<void()> &handler) { guarded(handler); },
        [this] { return m_handlers; }, this);
    connect(m_portRow, &PortRow::switching, this, &TfrmMain::disableRunControls);
    connect(m_portRow, &PortRow::portOpened, this, &TfrmMain::enableRunControls);
    connect(m_portRow, &PortRow::portClosed, this, [this] { m_keypadPage->portClosed(); });
    // As Stop would: every loop ends at its next check, with its closing steps, which the
    // link no longer sends anywhere.
    connect(m_portRow, &PortRow::readerLost, this, &TfrmMain::pcMainChange);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_portRow->panel());
    layout->addWidget(createPages(), 1);
    layout->addWidget(createStatusRow());

    // The hidden page leaves the tab bar altogether: a hidden tab is still offered to screen
    // readers, whose Press would show the page and let F5 run its loop. The page itself
    // stays, with its controls and handlers, disabled while it is not shown: a hidden
    // button would still take a screen reader's Press.
    hideMifarePage();
    m_pcMain->setCurrentIndex(0);
    connect(m_pcMain, &QTabWidget::currentChanged, this,
            [this] { guarded([this] { onCurrentPageChanged(); }); });

    createShortcuts();

    // Smaller, and the form's fixed places push buttons out of sight.
    setMinimumSize(kWindowSize);
    resize(kWindowSize);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
}

TfrmMain::~TfrmMain() = default;

template <typename Sender, typename Signal>
void TfrmMain::connectHandler(Sender *sender, Signal signal, void (TfrmMain::*handler)())
{
    connect(sender, signal, this, [this, handler] { guarded([&] { (this->*handler)(); }); });
}

void TfrmMain::guarded(const std::function<void()> &handler)
{
    // Qt's own frames between the signal and the event loop must not be unwound: they
    // leave their state and allocations behind. Report here, as notify() would.
    ++m_handlers;
    try {
        handler();
    } catch (...) {
        reportException(std::current_exception());
    }
    if (--m_handlers == 0)
        m_portRow->handlersEnded();
}

QWidget *TfrmMain::createPages()
{
    auto *panel2 = makePanel(this, QStringLiteral("Panel2"));
    auto *panelLayout = new QVBoxLayout(panel2);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    m_pcMain = new QTabWidget(panel2);
    m_pcMain->setObjectName(QStringLiteral("pcMain"));
    panelLayout->addWidget(m_pcMain);

    createCardPages();
    m_keypadPage = new KeypadPage(
        m_link, [this](const std::string &text) { setStatus(text); },
        [this](const std::function<void()> &handler) { guarded(handler); }, this);
    m_pcMain->addTab(m_keypadPage, QStringLiteral("SetKeypad"));
    return panel2;
}

void TfrmMain::createCardPages()
{
    for (std::size_t i = 0; i < kCardPages.size(); ++i) {
        auto *page = new CardPage(kCardPages[i], m_link, m_statusLine, m_portRow->connection(),
                                  m_deps.presenceClock, this);
        m_cardPages[i] = page;
        connect(page->readButton(), &QPushButton::clicked, this, [this, page] {
            guarded([this, page] {
                if (m_pcMain->indexOf(page->sheet()) >= 0)
                    page->read();
            });
        });
        connect(page->stopButton(), &QPushButton::clicked, this,
                [this, page] { guarded([page] { page->stop(); }); });
        connect(page, &CardPage::runBegan, this, [this] { m_portRow->panel()->setEnabled(false); });
        connect(page, &CardPage::runFinished, this, &TfrmMain::onRunFinished);
        connect(page, &CardPage::presenceChanged, this, &TfrmMain::logPresence);
        connect(page, &CardPage::cardLogRequested, this, &TfrmMain::openCardLog);
        m_pcMain->addTab(page->sheet(), QLatin1String(kCardPages[i].caption));
    }
    m_cardPages[kMifarePage - 1]->showTypeAIn(*m_cardPages[0]);
}

QWidget *TfrmMain::createStatusRow()
{
    auto *panel1 = makePanel(this, QStringLiteral("Panel1"));
    panel1->setFixedHeight(kStatusRowHeight);
    auto *row = new QHBoxLayout(panel1);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);

    m_shapeRun = new QFrame(panel1);
    m_shapeRun->setObjectName(QStringLiteral("shape_run"));
    m_shapeRun->setFrameStyle(QFrame::NoFrame);
    m_shapeRun->setFixedSize(kIndicatorSize);
    m_shapeRun->setAutoFillBackground(true);
    m_shapeRun->hide();
    row->addWidget(m_shapeRun);

    m_sbMain = new QStatusBar(panel1);
    m_sbMain->setObjectName(QStringLiteral("sbMain"));
    // A label keeps every blank of a message, and hover tips cannot overwrite it.
    m_statusPanel = new QLabel(m_sbMain);
    m_statusPanel->setObjectName(QStringLiteral("sbMainPanel0"));
    m_statusPanel->setTextFormat(Qt::PlainText);
    // Long messages must not widen the window.
    m_statusPanel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_sbMain->addWidget(m_statusPanel, 1);
    row->addWidget(m_sbMain, 1);
    m_statusLine.attach(m_statusPanel, m_shapeRun);
    return panel1;
}

QString TfrmMain::statusText() const
{
    return m_statusPanel->text();
}

void TfrmMain::FormCreate()
{
    if (!m_deps.startPort.isEmpty())
        m_portRow->preferPort(m_deps.startPort);
    m_portRow->fillFromScratch();
}

void TfrmMain::disableRunControls()
{
    for (CardPage *page : m_cardPages)
        page->setConnected(false);
    m_keypadPage->setGroupsEnabled(false);
}

void TfrmMain::enableRunControls()
{
    for (CardPage *page : m_cardPages)
        page->setConnected(true);
    m_keypadPage->setGroupsEnabled(true);
}

void TfrmMain::showMifarePage()
{
    QWidget *sheet = m_cardPages[kMifarePage - 1]->sheet();
    if (m_pcMain->indexOf(sheet) >= 0)
        return;
    sheet->setEnabled(true);
    m_pcMain->insertTab(kMifarePage - 1, sheet, QLatin1String(kCardPages[kMifarePage - 1].caption));
    m_pcMain->setCurrentWidget(sheet);
}

void TfrmMain::hideMifarePage()
{
    QWidget *sheet = m_cardPages[kMifarePage - 1]->sheet();
    if (const int index = m_pcMain->indexOf(sheet); index >= 0) {
        // Its removal renumbers the pages after it; that is no page change.
        const QSignalBlocker quiet(m_pcMain);
        m_pcMain->removeTab(index);
    }
    sheet->setParent(this);
    sheet->hide();
    sheet->setEnabled(false);
}

void TfrmMain::onCurrentPageChanged()
{
    if (m_pcMain->currentWidget() != m_cardPages[kMifarePage - 1]->sheet())
        hideMifarePage();
    // The page's own show handler runs before the page control's change handler: the
    // SetKeypad reads start before anything the change does.
    if (m_pcMain->currentWidget() == m_keypadPage)
        m_keypadPage->ts_SetKeypadShow();
    pcMainChange();
}

void TfrmMain::pcMainChange()
{
    // Called, not clicked: the Stop buttons of idle pages are disabled but must still act.
    for (CardPage *page : m_cardPages)
        page->stop();
}

void TfrmMain::createShortcuts()
{
    const auto onKey = [this](QKeyCombination key, auto action) {
        connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this,
                [this, action] { guarded([&] { (this->*action)(); }); });
    };
    onKey(kReadKey, &TfrmMain::readVisiblePage);
    onKey(kStopKey, &TfrmMain::stopVisiblePage);
    onKey(kCopyResultsKey, &TfrmMain::copyVisiblePageResults);
    onKey(kCardLogKey, &TfrmMain::openCardLog);
}

CardLogWindow &TfrmMain::cardLog()
{
    if (!m_cardLog) {
        m_cardLog = std::make_unique<CardLogWindow>(m_deps.cardLogSettings, m_deps.cardLogPath);
        // A window of its own, but in the tool's face, not the desktop's.
        m_cardLog->setFont(font());
        connect(m_cardLog.get(), &CardLogWindow::logFailureChanged, this,
                &TfrmMain::showLogFailure);
    }
    return *m_cardLog;
}

void TfrmMain::openCardLog()
{
    CardLogWindow &log = cardLog();
    log.show();
    log.raise();
    log.activateWindow();
}

void TfrmMain::logPresence(const PresenceEvent &event)
{
    if (!m_closed)
        cardLog().addEvent(m_events.next(event));
}

// The status panel's own tooltip (a connect failure's reason) covers the bar's where both
// are set.
void TfrmMain::showLogFailure(const QString &message)
{
    m_sbMain->setToolTip(message.isEmpty() ? QString() : plainToolTip(message.toStdString()));
}

// The visible card page, if any.
CardPage *TfrmMain::visibleCardPage() const
{
    for (CardPage *page : m_cardPages) {
        if (page->sheet() == m_pcMain->currentWidget())
            return page;
    }
    return nullptr;
}

// The visible card page's buttons, as a click would press them: not while disabled. On
// SetKeypad, F5 reads the six settings again.
void TfrmMain::readVisiblePage()
{
    if (CardPage *page = visibleCardPage(); page && page->readButton()->isEnabled())
        page->readButton()->click();
    else if (m_pcMain->currentWidget() == m_keypadPage)
        m_keypadPage->readAgain();
}

void TfrmMain::stopVisiblePage()
{
    if (CardPage *page = visibleCardPage(); page && page->stopButton()->isEnabled())
        page->stopButton()->click();
}

// One row for a spreadsheet: the page's boxes top to bottom, without the blank that ends
// the byte lists of some pages.
void TfrmMain::copyVisiblePageResults()
{
    QStringList fields;
    bool anything = false;
    const QWidget *page = m_pcMain->currentWidget();
    for (const QLineEdit *box : page->findChildren<QLineEdit *>(Qt::FindDirectChildrenOnly)) {
        fields << box->text().trimmed();
        anything = anything || !fields.back().isEmpty();
    }
    if (anything)
        QGuiApplication::clipboard()->setText(fields.join(QLatin1Char('\t')));
}

void TfrmMain::onRunFinished()
{
    // The port row stays locked while any page's run is on the stack.
    if (std::all_of(m_cardPages.begin(), m_cardPages.end(),
                    [](const CardPage *page) { return page->idle(); }))
        m_portRow->panel()->setEnabled(true);
}

bool TfrmMain::running(int page) const
{
    return m_cardPages.at(std::size_t(page - 1))->running();
}

int TfrmMain::indicatorPhase() const
{
    return m_statusLine.indicatorPhase();
}

QString TfrmMain::sbMainHint() const
{
    return m_statusLine.hint();
}

void TfrmMain::FormClose()
{
    // Before the card log closes; the runs themselves end after this.
    for (CardPage *page : m_cardPages) {
        if (page)
            page->endPresence();
    }
    hideIndicator();
    disableRunControls();
    m_link.processMessages();
    m_portRow->closePort();
    setStatus(kBlankStatus);
    // The card log goes with the window: a visible one would keep the program running.
    m_closed = true;
    if (m_cardLog) {
        m_cardLog->closeLog();
        m_cardLog->close();
    }
    m_link.processMessages();
}

void TfrmMain::closeEvent(QCloseEvent *event)
{
    guarded([this] { FormClose(); });
    event->accept();
}

void TfrmMain::setStatus(const std::string &text)
{
    m_statusPanel->setText(QString::fromStdString(text));
}

void TfrmMain::hideIndicator()
{
    m_statusLine.hideIndicator();
}

} // namespace qn480
