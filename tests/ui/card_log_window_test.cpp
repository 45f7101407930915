// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_log.h"
#include "card_log_window.h"
#include "csv.h"
#include "private_dir.h"
#include "uid_forms_menu.h"

#include <QAbstractButton>
#include <QAction>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace qn480::testing {
namespace {

// A run as the card pages report it: a Type A card comes and goes, then a FeliCa card.
std::vector<EventRecord> simulatedRun()
{
    const TypeACard classic{{0x12, 0x34, 0x56, 0x78}, {0x04, 0x00}, 0x08, {}, {},
                            "Mifare Classic 1K"};
    const FelicaCard felica{0, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {}};
    EventSequence run;
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1772370309042));
    return {run.next({PresenceKind::Present, classic}, at),
            run.next({PresenceKind::Removed, classic}, at + std::chrono::seconds(2)),
            run.next({PresenceKind::Present, felica}, at + std::chrono::seconds(3))};
}

std::string fileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(CardLogWindow, FillsFromARunSavesCsvAndKeepsALogWhenAsked)
{
    PrivateDir dir;
    QSettings settings(QString::fromStdString(dir / "tool.ini"), QSettings::IniFormat);
    const std::vector<EventRecord> run = simulatedRun();
    {
        CardLogWindow window(&settings, dir / "state/cards.jsonl", 2);
        window.show();
        auto *table = window.findChild<QTableView *>("tbl_cardLog");
        ASSERT_NE(table, nullptr);
        EXPECT_FALSE(table->accessibleName().isEmpty());
        EXPECT_EQ(table->model()->headerData(3, Qt::Horizontal).toString(), "UID (air order)");

        window.findChild<QAbstractButton *>("chk_keepLog")->click();
        for (const EventRecord &event : run)
            window.addEvent(event);

        // Two kept, the oldest dropped and counted.
        ASSERT_EQ(table->model()->rowCount(), 2);
        EXPECT_EQ(table->model()->index(1, 3).data().toString(), "0102030405060708");
        auto *dropped = window.findChild<QLabel *>("lbl_dropped");
        EXPECT_TRUE(dropped->isVisible());
        EXPECT_TRUE(dropped->text().startsWith("Older events dropped: 1;"))
            << dropped->text().toStdString();

        const QString csvPath = QString::fromStdString(dir / "cards.csv");
        EXPECT_EQ(window.saveCsv(csvPath), QString());
        EXPECT_EQ(fileText(csvPath.toStdString()),
                  eventsCsv(std::vector(run.begin() + 1, run.end())));

        table->selectAll();
        const QString rows = window.selectedRowsText();
        EXPECT_EQ(rows.count('\n'), 2);
        EXPECT_TRUE(rows.startsWith(QString::fromStdString(cellText(run[1], EventColumn::Time)) +
                                    "\tremoved\t14a\t12345678\t0400\t08\tMifare Classic 1K\t"))
            << rows.toStdString();

        window.findChild<QAbstractButton *>("btn_clear")->click();
        EXPECT_EQ(table->model()->rowCount(), 0);
        EXPECT_FALSE(dropped->isVisible());
    }
    // Every event reached the log, the dropped one too, once the window had gone.
    const CardLogContents log = readCardLog(dir / "state/cards.jsonl");
    ASSERT_EQ(log.events.size(), 3u);
    EXPECT_EQ(log.events[2]["idm"], "0102030405060708");
    EXPECT_EQ(log.events[2]["seq"], 3);

    // New events are followed, unless the user has scrolled up to read.
    {
        settings.setValue("cardLog/keepLogFile", false);
        CardLogWindow window(&settings, dir / "unused.jsonl");
        window.show();
        auto *bar = window.findChild<QTableView *>("tbl_cardLog")->verticalScrollBar();
        for (int i = 0; i < 100; ++i)
            window.addEvent(run[i % 3]);
        ASSERT_GT(bar->maximum(), 0);
        EXPECT_EQ(bar->value(), bar->maximum());
        bar->setValue(0);
        window.addEvent(run[0]);
        EXPECT_EQ(bar->value(), 0);
        bar->setValue(bar->maximum());
        window.addEvent(run[1]);
        EXPECT_EQ(bar->value(), bar->maximum());
        settings.setValue("cardLog/keepLogFile", true);
    }

    // The choice is remembered; a log that cannot be written says so.
    std::ofstream(dir / "blocker") << "a file, not a folder";
    CardLogWindow again(&settings, dir / "blocker/cards.jsonl");
    EXPECT_TRUE(again.findChild<QAbstractButton *>("chk_keepLog")->isChecked());
    QSignalSpy failures(&again, &CardLogWindow::logFailureChanged);
    again.addEvent(run[0]);
    again.addEvent(run[1]);
    ASSERT_TRUE(failures.wait(5000));
    QTest::qWait(50);
    ASSERT_EQ(failures.count(), 1);
    const QString reason = again.findChild<QLabel *>("lbl_logStatus")->toolTip();
    EXPECT_TRUE(reason.contains("blocker/cards.jsonl")) << reason.toStdString();
    EXPECT_EQ(failures.at(0).at(0).toString(), reason);
    EXPECT_EQ(again.model().rowCount(), 2);
}

TEST(CardLogWindow, UidBoxesOfferEveryFormAndSayWhichCannotApply)
{
    const std::vector<std::uint8_t> uid{0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    const QString tip = uidFormsToolTip(uid);
    EXPECT_TRUE(tip.startsWith("hex: 04A1B2C3D4E5F6\nhex-rev: F6E5D4C3B2A104\n"))
        << tip.toStdString();
    EXPECT_TRUE(tip.contains("\ndec10: — needs a 4-byte UID, not 7 bytes")) << tip.toStdString();

    QMenu menu;
    QMenu *copy = addCopyUidMenu(&menu, uid);
    const QList<QAction *> actions = copy->actions();
    ASSERT_EQ(actions.size(), 8);
    EXPECT_FALSE(actions[4]->isEnabled()); // dec10
    actions[2]->trigger();                 // dec
    EXPECT_EQ(QApplication::clipboard()->text(), "01303689068602870");
}

} // namespace
} // namespace qn480::testing
