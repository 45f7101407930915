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
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include <sys/mount.h>
#include <unistd.h>

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

        EXPECT_EQ(window.saveCsv(QString::fromStdString(dir / "cards.csv")), QString());
        EXPECT_EQ(dir.text("cards.csv"), eventsCsv(std::vector(run.begin() + 1, run.end())));

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

// Only the columns of the interfaces held, each as wide as its widest cell or title, in the
// window's font; the filter keeps the rows whose UID, type or interface holds its text.
TEST(CardLogWindow, ColumnsFitTheirCellsAndTheFilterFindsACard)
{
    PrivateDir dir;
    QSettings settings(QString::fromStdString(dir / "tool.ini"), QSettings::IniFormat);
    CardLogWindow window(&settings, dir / "cards.jsonl");
    QFont large(QStringLiteral("DejaVu Sans"));
    large.setPixelSize(21);
    window.setFont(large);
    window.show();
    auto *table = window.findChild<QTableView *>("tbl_cardLog");
    const std::vector<EventRecord> run = simulatedRun();
    for (const EventRecord &event : run)
        window.addEvent(event);

    EXPECT_EQ(table->font().pixelSize(), 21);
    const QFontMetrics metrics(table->font());
    const QFontMetrics headerMetrics(table->horizontalHeader()->font());
    QStringList hidden;
    for (int column = 0; column < kEventColumnCount; ++column) {
        const QString title = table->model()->headerData(column, Qt::Horizontal).toString();
        if (table->isColumnHidden(column)) {
            hidden << title;
            continue;
        }
        EXPECT_GE(table->columnWidth(column), headerMetrics.horizontalAdvance(title))
            << title.toStdString();
        for (int row = 0; row < table->model()->rowCount(); ++row) {
            const QString cell = table->model()->index(row, column).data().toString();
            EXPECT_GE(table->columnWidth(column), metrics.horizontalAdvance(cell))
                << title.toStdString() << " " << cell.toStdString();
        }
    }
    EXPECT_EQ(hidden,
              (QStringList{"Application data", "Protocol info", "DSFID", "UID (MSB first)"}));
    EXPECT_LE(window.width(), window.screen()->availableGeometry().width());

    const std::pair<const char *, int> filters[] = {{"0102", 1},   {"CLASSIC", 2}, {"14a", 2},
                                                    {"felica", 1}, {"removed", 0}, {"", 3}};
    for (const auto &[text, rows] : filters) {
        window.setFilterText(QString::fromLatin1(text));
        EXPECT_EQ(table->model()->rowCount(), rows) << text;
    }
    EXPECT_EQ(window.findChild<QLineEdit *>("edt_filter")->text(), "");
}

std::string unzipped(const QString &zip, const char *member)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), zip, QLatin1String(member)});
    EXPECT_TRUE(unzip.waitForFinished(10000)) << member;
    return unzip.readAllStandardOutput().toStdString();
}

// The spreadsheet read back as cell types: the time a number in a date-time format, every
// hexadecimal field a text cell as written, the header row frozen, every column a width.
// A full disk is told by its name, and the file that was there stays whole.
TEST(CardLogWindow, SavesASpreadsheetThatKeepsHexAsTextAndTellsAFullDisk)
{
    PrivateDir dir;
    QSettings settings(QString::fromStdString(dir / "tool.ini"), QSettings::IniFormat);
    CardLogWindow window(&settings, dir / "cards.jsonl");
    for (const EventRecord &event : simulatedRun())
        window.addEvent(event);
    const QString path = QString::fromStdString(dir / "cards.xlsx");
    ASSERT_EQ(window.saveXlsx(path), QString());

    const std::string sheet = unzipped(path, "xl/worksheets/sheet1.xml");
    const std::string shared = unzipped(path, "xl/sharedStrings.xml");
    std::vector<std::string> strings;
    static const std::regex si(R"(<si><t[^>]*>([^<]*)</t></si>)");
    for (auto it = std::sregex_iterator(shared.begin(), shared.end(), si);
         it != std::sregex_iterator(); ++it)
        strings.push_back((*it)[1]);
    std::map<std::string, std::string> cells; // "D2" -> "text:0400" or "number:46082.5..."
    static const std::regex cell(
        R"re(<c r="([A-Z]+[0-9]+)"(?: s="[0-9]+")?( t="s")?><v>([^<]*)</v></c>)re");
    for (auto it = std::sregex_iterator(sheet.begin(), sheet.end(), cell);
         it != std::sregex_iterator(); ++it) {
        const std::string value = (*it)[3];
        cells[(*it)[1]] =
            (*it)[2].matched ? "text:" + strings.at(std::stoul(value)) : "number:" + value;
    }
    EXPECT_EQ(cells["A1"], "text:Time");
    EXPECT_EQ(cells["D1"], "text:UID (air order)");
    EXPECT_TRUE(cells["A2"].starts_with("number:4")) << cells["A2"];
    EXPECT_EQ(cells["D2"], "text:12345678");
    EXPECT_EQ(cells["E2"], "text:0400");
    EXPECT_EQ(cells["F2"], "text:08");
    EXPECT_EQ(cells["D4"], "text:0102030405060708");
    EXPECT_NE(sheet.find(R"(ySplit="1")"), std::string::npos);
    EXPECT_NE(sheet.find(R"(state="frozen")"), std::string::npos);
    static const std::regex col(R"(<col min="[0-9]+" max="[0-9]+" width=")");
    EXPECT_EQ(std::distance(std::sregex_iterator(sheet.begin(), sheet.end(), col),
                            std::sregex_iterator()),
              11);
    EXPECT_NE(unzipped(path, "xl/styles.xml").find("yyyy-mm-dd hh:mm:ss.000"), std::string::npos);

    // A disk too small for the list: only root can make one here.
    const std::filesystem::path small = dir / "small";
    std::filesystem::create_directory(small);
    if (geteuid() != 0 || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=16k") != 0)
        GTEST_SKIP() << "no small disk to fill";
    std::ofstream(small / "cards.csv") << "kept\r\n";
    for (int i = 0; i < 400; ++i)
        window.addEvent(simulatedRun()[std::size_t(i % 3)]);
    EXPECT_EQ(window.saveCsv(QString::fromStdString(small / "cards.csv")),
              "No space left on device");
    EXPECT_EQ(window.saveXlsx(QString::fromStdString(small / "cards.xlsx")),
              "No space left on device");
    EXPECT_EQ(dir.text("small/cards.csv"), "kept\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(small),
                            std::filesystem::directory_iterator()),
              1);
    ::umount(small.c_str());
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
    // Each item shows what it copies, or why it cannot.
    EXPECT_EQ(actions[2]->text().toStdString(), "dec  01303689068602870");
    EXPECT_FALSE(actions[4]->isEnabled());
    EXPECT_EQ(actions[4]->text().toStdString(),
              "dec10  needs a 4-byte UID, not 7 bytes; hex and dec carry them all");
    actions[2]->trigger(); // dec
    EXPECT_EQ(QApplication::clipboard()->text(), "01303689068602870");
}

} // namespace
} // namespace qn480::testing
