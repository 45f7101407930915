// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_log.h"
#include "event_buffer.h"
#include "event_record.h"

#include <QAbstractTableModel>
#include <QMetaType>
#include <QSortFilterProxyModel>
#include <QString>
#include <QWidget>

#include <array>
#include <filesystem>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QTableView;

Q_DECLARE_METATYPE(qn480::EventRecord)

namespace qn480 {

// This session's card events as table rows, oldest first, bounded by an EventBuffer.
class CardLogModel final : public QAbstractTableModel
{
    Q_OBJECT
public:
    explicit CardLogModel(std::size_t capacity = EventBuffer::kDefaultCapacity,
                          QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    void add(const EventRecord &event);
    void clear();
    const EventBuffer &events() const { return m_events; }
    // Whether a column belongs to an interface of the events listed since the last clear.
    bool columnHeld(int column) const;

signals:
    // A card of an interface not listed before: more columns are held.
    void columnsHeldChanged();

private:
    EventBuffer m_events;
    std::array<bool, 4> m_airs{}; // by AirInterface
};

// Keeps the rows whose UID, card type or interface contains the filter text, ignoring case.
class CardLogFilter final : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;
    void setText(const QString &text);

protected:
    bool filterAcceptsRow(int row, const QModelIndex &parent) const override;

private:
    QString m_text;
};

// The card log window: every card event of the session from every page, newest at the
// bottom, with a CSV export and an opt-in log file. It knows nothing of the main window,
// which hands it events through addEvent().
class CardLogWindow final : public QWidget
{
    Q_OBJECT
public:
    // `settings` keeps the "Keep a log file" choice (the tool's own settings when null);
    // `logPath` is where the log goes (the default card log path when empty).
    explicit CardLogWindow(QSettings *settings = nullptr, std::filesystem::path logPath = {},
                           std::size_t capacity = EventBuffer::kDefaultCapacity,
                           QWidget *parent = nullptr);
    ~CardLogWindow() override;

    const CardLogModel &model() const { return *m_model; }
    // Writes every listed event to `path` as CSV; on failure the reason, else empty.
    QString saveCsv(const QString &path) const;
    // The same as a spreadsheet workbook (.xlsx), the hexadecimal fields kept as text.
    QString saveXlsx(const QString &path) const;
    // Shows only the rows whose UID, card type or interface contains `text`.
    void setFilterText(const QString &text);
    // The selected rows as tab-separated lines, as Ctrl+C copies them.
    QString selectedRowsText() const;
    // Ends the log file's writer once what waits is written; the choice stays remembered.
    void closeLog();

public slots:
    void addEvent(const qn480::EventRecord &event);
    void clear();

signals:
    // The log file could not be written (empty: it can again), for the main window's
    // status tooltip.
    void logFailureChanged(const QString &message);

protected:
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void saveCsvChosen();
    void saveXlsxChosen();
    void showHeldColumns();
    // Widens the columns to `row`'s cells where they need it (the header's width at least).
    void fitColumnsTo(int row);
    void fitAllColumns();
    void fitWidthToScreen();
    void copySelection() const;
    void setKeepLog(bool keep);
    void showLogStatus(const CardLogStatus &status);
    void updateDropped();

    std::unique_ptr<QSettings> m_ownSettings;
    QSettings *m_settings = nullptr;
    std::filesystem::path m_logPath;
    std::unique_ptr<CardLogWriter> m_log;
    QString m_logFailure;

    CardLogModel *m_model = nullptr;
    CardLogFilter *m_filter = nullptr;
    QTableView *m_table = nullptr;
    QLineEdit *m_filterBox = nullptr;
    bool m_sized = false; // the width fitted once, when first shown
    QLabel *m_dropped = nullptr;
    QLabel *m_logStatus = nullptr;
    QCheckBox *m_keepLog = nullptr;
    QPushButton *m_saveCsv = nullptr;
    QPushButton *m_saveXlsx = nullptr;
    QPushButton *m_clear = nullptr;
};

} // namespace qn480
