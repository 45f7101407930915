// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_log_window.h"

#include "csv.h"
#include "event_columns.h"
#include "form_widgets.h"
#include "xlsx.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

namespace qn480 {

namespace {

constexpr const char *kKeepLogKey = "cardLog/keepLogFile";

QString qtext(const std::string &text)
{
    return QString::fromStdString(text);
}

} // namespace

CardLogModel::CardLogModel(std::size_t capacity, QObject *parent)
    : QAbstractTableModel(parent)
    , m_events(capacity)
{}

int CardLogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_events.size());
}

int CardLogModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kEventColumnCount;
}

QVariant CardLogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || std::size_t(index.row()) >= m_events.size() ||
        (role != Qt::DisplayRole && role != Qt::AccessibleTextRole))
        return {};
    return qtext(cellText(m_events.at(std::size_t(index.row())), EventColumn(index.column())));
}

QVariant CardLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return {};
    if (orientation == Qt::Vertical)
        return section + 1;
    if (section < 0 || section >= kEventColumnCount)
        return {};
    return qtext(std::string(columnTitle(EventColumn(section))));
}

bool CardLogModel::columnHeld(int column) const
{
    for (std::size_t air = 0; air < m_airs.size(); ++air) {
        if (m_airs[air] && columnApplies(EventColumn(column), AirInterface(air)))
            return true;
    }
    // The columns every card has, also before the first.
    return columnApplies(EventColumn(column), AirInterface::Iso14443A) &&
           columnApplies(EventColumn(column), AirInterface::Iso15693);
}

void CardLogModel::add(const EventRecord &event)
{
    if (bool &held = m_airs[std::size_t(airOf(event.card))]; !held) {
        held = true;
        emit columnsHeldChanged();
    }
    if (m_events.size() >= m_events.capacity()) {
        beginRemoveRows({}, 0, 0);
        m_events.dropOldest();
        endRemoveRows();
    }
    const int row = int(m_events.size());
    beginInsertRows({}, row, row);
    m_events.push(event);
    endInsertRows();
}

void CardLogModel::clear()
{
    beginResetModel();
    m_events.clear();
    m_airs = {};
    endResetModel();
    emit columnsHeldChanged();
}

void CardLogFilter::setText(const QString &text)
{
    m_text = text.trimmed();
    invalidateFilter();
}

bool CardLogFilter::filterAcceptsRow(int row, const QModelIndex &parent) const
{
    if (m_text.isEmpty())
        return true;
    for (EventColumn column : {EventColumn::Uid, EventColumn::Type, EventColumn::Interface}) {
        const QString cell = sourceModel()->index(row, int(column), parent).data().toString();
        if (cell.contains(m_text, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

CardLogWindow::CardLogWindow(QSettings *settings, std::filesystem::path logPath,
                             std::size_t capacity, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_settings(settings)
    , m_logPath(logPath.empty() ? defaultCardLogPath() : std::move(logPath))
{
    qRegisterMetaType<EventRecord>();
    if (!m_settings) {
        m_ownSettings =
            std::make_unique<QSettings>(QStringLiteral("qn480"), QStringLiteral("qn480-tool"));
        m_settings = m_ownSettings.get();
    }
    setObjectName(QStringLiteral("frm_cardLog"));
    setWindowTitle(tr("Card log"));
    announceAsFrame(this);

    m_model = new CardLogModel(capacity, this);
    m_filter = new CardLogFilter(this);
    m_filter->setSourceModel(m_model);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("tbl_cardLog"));
    m_table->setAccessibleName(tr("Card events"));
    m_table->setAccessibleDescription(
        tr("Every card seen this session, newest at the bottom; Ctrl+C copies the selected "
           "rows"));
    m_table->setModel(m_filter);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Each new row widens the columns it needs to: measuring every row for each new event
    // would make a long session slow.
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    auto *copy = new QAction(tr("Copy rows"), m_table);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, &CardLogWindow::copySelection);
    m_table->addAction(copy);

    m_filterBox = new QLineEdit(this);
    m_filterBox->setObjectName(QStringLiteral("edt_filter"));
    m_filterBox->setPlaceholderText(tr("Filter: UID, card type or interface"));
    m_filterBox->setAccessibleName(tr("Filter"));
    m_filterBox->setClearButtonEnabled(true);
    connect(m_filterBox, &QLineEdit::textChanged, this, &CardLogWindow::setFilterText);
    connect(m_model, &CardLogModel::columnsHeldChanged, this, &CardLogWindow::showHeldColumns);

    m_dropped = new QLabel(this);
    m_dropped->setObjectName(QStringLiteral("lbl_dropped"));
    m_dropped->hide();

    m_keepLog = new QCheckBox(tr("Keep a log file"), this);
    m_keepLog->setObjectName(QStringLiteral("chk_keepLog"));
    m_keepLog->setToolTip(tr("Append every event to %1 as a JSON line")
                              .arg(QString::fromStdString(m_logPath.string())));
    m_logStatus = new QLabel(this);
    m_logStatus->setObjectName(QStringLiteral("lbl_logStatus"));

    m_saveCsv = new QPushButton(tr("Save as CSV…"), this);
    m_saveCsv->setObjectName(QStringLiteral("btn_saveCsv"));
    m_saveXlsx = new QPushButton(tr("Save as spreadsheet (.xlsx)…"), this);
    m_saveXlsx->setObjectName(QStringLiteral("btn_saveXlsx"));
    m_saveXlsx->setToolTip(tr("UIDs and other hexadecimal fields stay text; times are "
                              "date-time cells"));
    m_clear = new QPushButton(tr("Clear"), this);
    m_clear->setObjectName(QStringLiteral("btn_clear"));
    connect(m_saveCsv, &QPushButton::clicked, this, &CardLogWindow::saveCsvChosen);
    connect(m_saveXlsx, &QPushButton::clicked, this, &CardLogWindow::saveXlsxChosen);
    connect(m_clear, &QPushButton::clicked, this, &CardLogWindow::clear);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_keepLog);
    buttons->addWidget(m_logStatus, 1);
    buttons->addWidget(m_saveCsv);
    buttons->addWidget(m_saveXlsx);
    buttons->addWidget(m_clear);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_filterBox);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_dropped);
    layout->addLayout(buttons);
    resize(900, 400);
    showHeldColumns();

    m_keepLog->setChecked(m_settings->value(QLatin1String(kKeepLogKey), false).toBool());
    setKeepLog(m_keepLog->isChecked());
    connect(m_keepLog, &QCheckBox::toggled, this, [this](bool keep) {
        m_settings->setValue(QLatin1String(kKeepLogKey), keep);
        setKeepLog(keep);
    });
}

CardLogWindow::~CardLogWindow() = default;

void CardLogWindow::addEvent(const EventRecord &event)
{
    // Follow new events only while the newest is in view: a user reading back keeps
    // the place.
    const QScrollBar *bar = m_table->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    m_model->add(event);
    fitColumnsTo(m_model->rowCount() - 1);
    updateDropped();
    if (follow)
        m_table->scrollToBottom();
    if (m_log)
        m_log->append(event);
}

void CardLogWindow::setFilterText(const QString &text)
{
    if (m_filterBox->text() != text)
        m_filterBox->setText(text);
    m_filter->setText(text);
}

void CardLogWindow::showHeldColumns()
{
    for (int column = 0; column < kEventColumnCount; ++column)
        m_table->setColumnHidden(column, !m_model->columnHeld(column));
    fitAllColumns();
}

void CardLogWindow::fitColumnsTo(int row)
{
    QHeaderView *header = m_table->horizontalHeader();
    const QFontMetrics metrics(m_table->font());
    // The cell's margins as the view draws them.
    const int padding =
        2 * (m_table->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_table) + 1) +
        metrics.horizontalAdvance(QLatin1Char(' '));
    for (int column = 0; column < kEventColumnCount; ++column) {
        int width = header->sectionSize(column);
        if (row < 0) { // the header alone
            QStyleOptionHeader option;
            option.initFrom(header);
            option.orientation = Qt::Horizontal;
            option.section = column;
            option.text = m_model->headerData(column, Qt::Horizontal).toString();
            const QFontMetrics headerMetrics(header->font());
            width = header->style()
                        ->sizeFromContents(QStyle::CT_HeaderSection, &option,
                                           QSize(headerMetrics.horizontalAdvance(option.text),
                                                 headerMetrics.height()),
                                           header)
                        .width();
        } else {
            width = std::max(
                width,
                metrics.horizontalAdvance(m_model->index(row, column).data().toString()) + padding);
        }
        header->resizeSection(column, width);
    }
}

void CardLogWindow::fitAllColumns()
{
    fitColumnsTo(-1);
    for (int row = 0; row < m_model->rowCount(); ++row)
        fitColumnsTo(row);
}

// As wide as the columns need, but never wider than the screen.
void CardLogWindow::fitWidthToScreen()
{
    int wanted = m_table->verticalHeader()->width() + 2 * m_table->frameWidth() +
                 m_table->verticalScrollBar()->sizeHint().width();
    for (int column = 0; column < kEventColumnCount; ++column) {
        if (!m_table->isColumnHidden(column))
            wanted += m_table->horizontalHeader()->sectionSize(column);
    }
    if (const QLayout *box = layout())
        wanted += box->contentsMargins().left() + box->contentsMargins().right();
    int widest = wanted;
    if (const QScreen *where = screen())
        widest = where->availableGeometry().width();
    resize(std::min(std::max(wanted, minimumSizeHint().width()), widest), height());
}

void CardLogWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_sized) {
        m_sized = true;
        fitWidthToScreen();
    }
}

void CardLogWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        fitAllColumns();
}

void CardLogWindow::closeLog()
{
    m_log.reset();
}

void CardLogWindow::clear()
{
    m_model->clear();
    updateDropped();
}

void CardLogWindow::updateDropped()
{
    const std::uint64_t dropped = m_model->events().dropped();
    m_dropped->setVisible(dropped > 0);
    if (dropped > 0) {
        m_dropped->setText(tr("Older events dropped: %1; the list keeps the last %2")
                               .arg(QLocale().toString(qulonglong(dropped)),
                                    QLocale().toString(qulonglong(m_model->events().capacity()))));
    }
}

void CardLogWindow::setKeepLog(bool keep)
{
    if (!keep) {
        m_log.reset();
        showLogStatus({});
        return;
    }
    if (!m_log) {
        // Told on the writer's thread; shown on this one.
        m_log = std::make_unique<CardLogWriter>(m_logPath, [this](const CardLogStatus &status) {
            QMetaObject::invokeMethod(
                this, [this, status] { showLogStatus(status); }, Qt::QueuedConnection);
        });
    }
}

void CardLogWindow::showLogStatus(const CardLogStatus &status)
{
    const QString message = status.ok() ? QString() : qtext(status.message);
    if (message == m_logFailure)
        return;
    m_logFailure = message;
    m_logStatus->setText(message.isEmpty() ? QString() : tr("Log file failed"));
    m_logStatus->setToolTip(message);
    // Polling goes on; the failure shows here, in the main window and on stderr.
    if (!message.isEmpty())
        std::fprintf(stderr, "qn480-tool: %s\n", status.message.c_str());
    emit logFailureChanged(message);
}

QString CardLogWindow::saveCsv(const QString &path) const
{
    const std::deque<EventRecord> &events = m_model->events().events();
    const std::string text = eventsCsv(std::vector<EventRecord>(events.begin(), events.end()));
    return QString::fromStdString(saveWhole(path.toStdString(), text));
}

QString CardLogWindow::saveXlsx(const QString &path) const
{
    const std::deque<EventRecord> &events = m_model->events().events();
    const std::string error =
        writeEventsXlsx(path.toStdString(), std::vector<EventRecord>(events.begin(), events.end()));
    return QString::fromStdString(error);
}

void CardLogWindow::saveXlsxChosen()
{
    const QString path = QFileDialog::getSaveFileName(
        this, tr("Save as spreadsheet"), tr("cards.xlsx"), tr("Spreadsheets (*.xlsx)"));
    if (path.isEmpty())
        return;
    const QString error = saveXlsx(path);
    m_logStatus->setText(error.isEmpty() ? tr("Saved %1").arg(path)
                                         : tr("Could not save %1: %2").arg(path, error));
}

void CardLogWindow::saveCsvChosen()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save as CSV"), tr("cards.csv"),
                                                      tr("CSV files (*.csv)"));
    if (path.isEmpty())
        return;
    const QString error = saveCsv(path);
    m_logStatus->setText(error.isEmpty() ? tr("Saved %1").arg(path)
                                         : tr("Could not save %1: %2").arg(path, error));
}

QString CardLogWindow::selectedRowsText() const
{
    std::set<int> rows;
    for (const QModelIndex &index : m_table->selectionModel()->selectedIndexes())
        rows.insert(m_filter->mapToSource(index).row());
    QString text;
    for (int row : rows) {
        QStringList cells;
        for (int column = 0; column < kEventColumnCount; ++column) {
            if (m_table->isColumnHidden(column))
                continue;
            QString cell = m_model->index(row, column).data().toString();
            // A tab or line break inside a cell would shift the pasted columns.
            cell.replace(QLatin1Char('\t'), QLatin1Char(' '))
                .replace(QLatin1Char('\n'), QLatin1Char(' '))
                .replace(QLatin1Char('\r'), QLatin1Char(' '));
            cells << cell;
        }
        text += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text;
}

void CardLogWindow::copySelection() const
{
    const QString text = selectedRowsText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

} // namespace qn480
