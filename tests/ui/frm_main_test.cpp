// SPDX-License-Identifier: GPL-3.0-or-later
#include "window_rig.h"

#include "card_log_window.h"
#include "card_page.h"

#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTextDocument>

#include <filesystem>

namespace qn480::testing {
namespace {

const char *const kReadButtons[] = {"btn_Read01", "btn_Read02", "btn_Read03", "btn_Read04",
                                    "btn_Read05"};
const char *const kStopButtons[] = {"btn_Stop01", "btn_Stop02", "btn_Stop03", "btn_Stop04",
                                    "btn_Stop05"};
const char *const kKeypadGroups[] = {"gbox_keypad01", "gbox_keypad02", "gbox_keypad03",
                                     "gbox_keypad04"};

class FrmMainTest : public WindowRig
{
protected:
    // As Disconnect leaves the window: the port row usable, every page's buttons locked.
    void expectLocked()
    {
        EXPECT_FALSE(window().connected());
        EXPECT_FALSE(window().link().hasPort());
        EXPECT_EQ(child<QAbstractButton>("btn_Connect")->text(), "Connect");
        EXPECT_TRUE(enabled("pnlCounect"));
        for (const char *name : kReadButtons)
            EXPECT_FALSE(enabled(name)) << name;
        for (const char *name : kStopButtons)
            EXPECT_FALSE(enabled(name)) << name;
        for (const char *name : kKeypadGroups)
            EXPECT_FALSE(enabled(name)) << name;
        for (int page = 1; page <= 5; ++page)
            EXPECT_FALSE(window().running(page)) << page;
    }
};

struct Caption
{
    const char *name;
    const char *text;
};

// Every captioned control, as the operator reads it: the radio buttons by their formats and
// the keypad buttons by their operations, the rest below.
std::vector<std::pair<QString, QString>> captions()
{
    std::vector<std::pair<QString, QString>> all{
        {"btn_Connect", "Connect"},     {"btn_Read01", "Read"},
        {"btn_Read02", "Read"},         {"btn_Read03", "Read"},
        {"btn_Read04", "Read"},         {"btn_Read05", "Initialize"},
        {"btn_Stop01", "Stop"},         {"btn_Stop05", "Stop"},
        {"chk01_Auto", "AutoRead"},     {"chk01_Beep", "Beep"},
        {"chk01_Led", "LED"},           {"chk01_Same", "SameCard"},
        {"chk02_43A", "ISO14443A"},     {"chk02_43B", "ISO14443B"},
        {"chk02_43C", "Felia"},         {"chk02_693", "ISO15693"},
        {"chk02_Guid", "Chinese GUID"}, {"chk03_RevByte", "ReverseByte"},
        {"chk03_RevBit", "ReverseBit"}, {"chk03_Comma", "Comma"},
        {"chk03_Brackets", "Brackets"}, {"chk03_Quotes", "Quotes"},
        {"chk03_Space", "Space"},       {"chk03_Tab", "Tab"},
        {"chk03_Down", "Down"},         {"chk03_Ctrl", "Ctrl+Enter"},
        {"chk03_Enter", "Enter"},       {"Button1", "default"}};
    for (const char *format :
         {"14H", "5D", "6H", "8D", "8H", "10D", "10H", "13D", "16H", "4D", "32H"})
        all.emplace_back(QStringLiteral("rbn03_") + format, format);
    const char *const settings[] = {"Mode", "Type", "AddType", "SendTime", "ScanTime", "SameTime"};
    for (int i = 0; i < 6; ++i) {
        for (const char *operation : {"Get", "Set"})
            all.emplace_back(QStringLiteral("btn_SetKeypad%1%2")
                                 .arg(QLatin1Char(operation[0]))
                                 .arg(i + 1, 2, 10, QLatin1Char('0')),
                             QStringLiteral("%1 %2").arg(operation, settings[i]));
    }
    return all;
}

// What screen readers name the uncaptioned controls by: the edit boxes by their labels, the
// group boxes by their settings, the timing counts by theirs.
const Caption kAccessibleNames[] = {{"edt_14443A_UID", "UID :"},
                                    {"edt_14443A_ATQA", "ATQA :"},
                                    {"edt_14443A_SAK", "SAK :"},
                                    {"edt_14443A_CardType", "CardType :"},
                                    {"edt_ISO14443B_BPUPI", "UID :"},
                                    {"edt_ISO14443B_AppData", "ATQA :"},
                                    {"edt_ISO14443B_Info", "SAK :"},
                                    {"edt_Felica_Slot", "Slot :"},
                                    {"edt_Felica_SubResp", "Sub Resp :"},
                                    {"edt_Felica_UID", "UID :"},
                                    {"edt_ISO15693_DSFID", "DSFID :"},
                                    {"edt_ISO15693_UID", "UID :"},
                                    {"Edit5", "Slot :"},
                                    {"Edit6", "Sub Resp :"},
                                    {"edt_MifarePlusInit", "UID :"},
                                    {"gbox_keypad01", "Mode"},
                                    {"gbox_keypad02", "Type"},
                                    {"gbox_keypad03", "AddType"},
                                    {"gbox_keypad04", "Timings"},
                                    {"pnlSendTime", "SendTime"},
                                    {"pnlScanTime", "ScanTime"},
                                    {"pnlSameTime", "SameCardTime"}};

// A menu's entries as they read, "&Copy\tCtrl+C" as "Copy".
std::vector<std::string> entries(const QMenu &menu)
{
    std::vector<std::string> offered;
    for (const QAction *action : menu.actions()) {
        if (!action->isSeparator())
            offered.push_back(action->text().section('\t', 0, 0).remove('&').toStdString());
    }
    return offered;
}

QString accessibleName(QWidget *widget)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(QAccessible::Name) : QString();
}

// Captions, names, pages, where the form places its controls and what they start with.
TEST_F(FrmMainTest, StartsDisconnectedWithEveryControlNamedCaptionedAndPlaced)
{
    TfrmMain &form = window();
    EXPECT_EQ(form.windowTitle(), "QN480 Test Tools V0102 [2013-09-17]");
    EXPECT_EQ(form.size(), QSize(800, 520));
    EXPECT_EQ(form.minimumSize(), QSize(800, 520));
    // A frame, which screen readers announce by its caption; the card log is one too.
    const std::pair<QWidget *, QString> frames[] = {{&form, form.windowTitle()},
                                                    {&form.cardLog(), "Card log"}};
    for (const auto &[frame, name] : frames) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(frame);
        ASSERT_NE(face, nullptr);
        EXPECT_EQ(face->role(), QAccessible::Window);
        EXPECT_EQ(face->text(QAccessible::Name), name);
    }

    for (const auto &[name, text] : captions()) {
        auto *button = form.findChild<QAbstractButton *>(name);
        ASSERT_NE(button, nullptr) << name.toStdString();
        EXPECT_EQ(button->text(), text) << name.toStdString();
        EXPECT_EQ(accessibleName(button), text) << name.toStdString();
        // Every check box starts unchecked.
        EXPECT_FALSE(name.startsWith("chk") && button->isChecked()) << name.toStdString();
    }
    for (const Caption &c : kAccessibleNames)
        EXPECT_EQ(accessibleName(child<QWidget>(c.name)), QString::fromLatin1(c.text)) << c.name;
    // A combo box is named by its entry; its label reaches screen readers as a relation.
    EXPECT_EQ(child<QLabel>("lblPort01")->text(), "Serial Port :");
    EXPECT_EQ(child<QLabel>("lblPort01")->buddy(), child<QWidget>("cbxCommNo"));
    EXPECT_EQ(child<QLabel>("Label10")->text(), " *1ms");
    EXPECT_EQ(child<QLabel>("Label16")->text(), " *10ms");
    EXPECT_EQ(child<QLabel>("Label17")->text(), " *100ms");
    EXPECT_EQ(child<QWidget>("pnlScanTime")->accessibleDescription(), "10 *10ms");
    for (const char *name : {"pnlSendTime", "pnlScanTime", "pnlSameTime"}) {
        EXPECT_EQ(child<QLabel>(name)->text(), "10") << name;
        EXPECT_EQ(child<QLabel>(name)->palette().color(QPalette::WindowText), QColor(Qt::yellow));
    }
    auto *sixteen = child<QRadioButton>("rbn03_16H");
    ASSERT_NE(sixteen->group(), nullptr);
    EXPECT_TRUE(sixteen->group()->exclusive());
    EXPECT_EQ(sixteen->group()->buttons().size(), 11);
    EXPECT_EQ(sixteen->group()->checkedButton(), sixteen);

    const std::pair<const char *, QRect> places[] = {
        {"lblPort01", {109, 20, 70, 24}},         {"btn_Connect", {346, 20, 120, 25}},
        {"edt_14443A_UID", {132, 20, 200, 24}},   {"edt_14443A_CardType", {132, 170, 200, 24}},
        {"edt_ISO15693_UID", {132, 70, 200, 24}}, {"edt_MifarePlusInit", {132, 120, 200, 24}},
        {"btn_Read01", {380, 16, 160, 80}},       {"btn_Stop04", {380, 120, 160, 80}},
        {"gbox_keypad01", {8, 2, 220, 136}},      {"gbox_keypad02", {238, 2, 220, 136}},
        {"gbox_keypad03", {8, 136, 451, 212}},    {"gbox_keypad04", {463, 2, 306, 346}},
        {"chk02_Guid", {20, 76, 181, 17}},        {"rbn03_13D", {300, 46, 60, 17}},
        {"chk03_RevBit", {20, 166, 120, 17}},     {"btn_SetKeypadS03", {336, 166, 100, 25}},
        {"pnlSameTime", {8, 180, 49, 30}},        {"Label17", {55, 182, 60, 30}},
        {"sbSameTime", {115, 182, 154, 30}},      {"Button1", {8, 270, 261, 30}},
    };
    for (const auto &[name, rect] : places)
        EXPECT_EQ(child<QWidget>(name)->geometry(), rect) << name;
    EXPECT_EQ(child<QWidget>("cbxCommNo")->pos(), QPoint(183, 20));
    EXPECT_EQ(child<QWidget>("cbxCommNo")->width(), 160);
    EXPECT_EQ(child<QWidget>("shape_run")->size(), QSize(30, 30));
    EXPECT_EQ(child<QWidget>("pnlCounect")->y(), 0);
    EXPECT_EQ(child<QWidget>("pnlCounect")->height(), 65);
    EXPECT_EQ(child<QWidget>("Panel1")->height(), 30);
    EXPECT_NE(child<QWidget>("Panel2"), nullptr);
    EXPECT_EQ(child<QWidget>("Panel1")->geometry().bottom(), form.height() - 1);

    auto *pages = child<QTabWidget>("pcMain");
    const QStringList pageNames{"ts_ISO14443A", "ts_ISO14443B", "ts_Felica", "ts_ISO15693",
                                "ts_SetKeypad"};
    const QStringList tabCaptions{"ISO14443A", "ISO14443B", "Felica", "ISO15693", "SetKeypad"};
    ASSERT_EQ(pages->count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(pages->widget(i)->objectName(), pageNames[i]);
        EXPECT_EQ(pages->tabText(i), tabCaptions[i]);
        EXPECT_TRUE(pages->isTabVisible(i)) << i;
    }
    EXPECT_EQ(pages->currentWidget()->objectName(), "ts_ISO14443A");
    // The hidden page keeps its controls but is out of every reach: no tab, nothing a screen
    // reader could press.
    auto *mifare = child<QWidget>("ts_MifareInitialization");
    EXPECT_EQ(pages->indexOf(mifare), -1);
    EXPECT_FALSE(mifare->isVisible());
    QAccessibleInterface *tabBar = QAccessible::queryAccessibleInterface(pages->tabBar());
    ASSERT_NE(tabBar, nullptr);
    for (int i = 0; i < tabBar->childCount(); ++i)
        EXPECT_NE(tabBar->child(i)->text(QAccessible::Name), "MifareInitialization") << i;

    expectLocked();
    for (const char *name : kKeypadGroups)
        EXPECT_TRUE(child<QGroupBox>(name)->title().isEmpty()) << name;
    EXPECT_FALSE(child<QWidget>("shape_run")->isVisible());
    EXPECT_EQ(form.statusText(), "");
    EXPECT_EQ(form.indicatorPhase(), 0);

    // None of them takes the focus from Tab.
    static const QRegularExpression ours(
        "^(btn_|edt_|Edit|cbx|chk0|rbn03_|sb[A-Z][a-z]+Time|Button1)");
    int checked = 0;
    for (QWidget *widget : form.findChildren<QWidget *>()) {
        if (!ours.match(widget->objectName()).hasMatch())
            continue;
        ++checked;
        EXPECT_FALSE(widget->focusPolicy() & Qt::TabFocus) << widget->objectName().toStdString();
    }
    // Connect, 10 Read/Stop, 13 keypad buttons, 15 edit boxes, the combo box, 19 check
    // boxes, 11 radio buttons, 3 scroll bars.
    EXPECT_EQ(checked, 73);
}

// Where a control draws its caption: a check or radio button's text starts after its
// indicator, a button's inside its frame, a framed label's after its indent.
QRect captionRoom(QWidget *widget, const QFontMetrics &metrics)
{
    const QStyle *style = widget->style();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QRect room = label->contentsRect().adjusted(label->margin(), label->margin(),
                                                    -label->margin(), -label->margin());
        int indent = label->indent();
        if (indent < 0)
            indent = label->frameWidth() > 0 ? metrics.horizontalAdvance(QLatin1Char('x')) / 2 : 0;
        if (label->alignment() & (Qt::AlignLeft | Qt::AlignRight))
            room.setWidth(room.width() - indent);
        return room;
    }
    if (qobject_cast<QCheckBox *>(widget)) {
        return widget->rect().adjusted(
            style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, widget) +
                style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, widget),
            0, 0, 0);
    }
    if (qobject_cast<QRadioButton *>(widget)) {
        return widget->rect().adjusted(
            style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, widget) +
                style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, widget),
            0, 0, 0);
    }
    QStyleOptionButton option;
    option.initFrom(widget);
    option.text = static_cast<QAbstractButton *>(widget)->text();
    return style->subElementRect(QStyle::SE_PushButtonContents, &option, widget);
}

// Ink of a caption centred on its line, which is centred in `room`, as these controls draw.
bool inkFitsVertically(const QString &text, const QFontMetrics &metrics, const QRect &room)
{
    const int baseline = room.top() + (room.height() - metrics.height()) / 2 + metrics.ascent();
    const QRect ink = metrics.tightBoundingRect(text).translated(0, baseline);
    return ink.top() >= room.top() && ink.bottom() <= room.bottom();
}

TEST_F(FrmMainTest, EveryCaptionFitsItsControlInTheFontQtResolved)
{
    TfrmMain &form = window();
    connectReader(); // "Disconnect" is the longer caption of the two
    for (const char *name : {"sbSendTime", "sbScanTime", "sbSameTime"})
        child<QScrollBar>(name)->setValue(255); // the widest count a panel shows

    int checked = 0;
    for (QWidget *widget : form.findChildren<QWidget *>()) {
        QString text;
        if (auto *label = qobject_cast<QLabel *>(widget))
            text = label->text();
        else if (auto *button = qobject_cast<QAbstractButton *>(widget))
            text = button->text();
        if (text.isEmpty())
            continue;
        ++checked;
        const QFontMetrics metrics(widget->font());
        const QRect room = captionRoom(widget, metrics);
        const QFontInfo face(widget->font());
        const std::string what = widget->objectName().toStdString() + " \"" + text.toStdString() +
                                 "\" in " + face.family().toStdString() + " " +
                                 std::to_string(face.pixelSize()) + "px";
        EXPECT_LE(metrics.horizontalAdvance(text), room.width()) << what;
        EXPECT_TRUE(inkFitsVertically(text, metrics, room)) << what;
        if (qobject_cast<QCheckBox *>(widget) || qobject_cast<QRadioButton *>(widget)) {
            EXPECT_GE(widget->height(),
                      widget->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, widget))
                << what;
        }
    }
    // 23 labels (status panel included), 24 push buttons, 19 check boxes, 11 radio buttons.
    EXPECT_EQ(checked, 77);

    const QTabBar *tabs = child<QTabWidget>("pcMain")->tabBar();
    const QFontMetrics metrics(tabs->font());
    const int padding = tabs->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, tabs);
    for (int i = 0; i < tabs->count(); ++i) {
        if (!tabs->isTabVisible(i))
            continue;
        const QRect tab = tabs->tabRect(i);
        EXPECT_LE(metrics.horizontalAdvance(tabs->tabText(i)) + padding, tab.width())
            << tabs->tabText(i).toStdString();
        EXPECT_TRUE(tabs->rect().contains(tab)) << tabs->tabText(i).toStdString();
    }
}

TEST_F(FrmMainTest, TimingPanelsAndTheRunIndicatorTakeTheSystemColours)
{
    TfrmMain &form = window();
    const QPalette system = QApplication::palette();
    // As "#rrggbb", which a failure prints readably.
    const std::string highlight =
        system.color(QPalette::Active, QPalette::Highlight).name().toStdString();
    const std::string base = system.color(QPalette::Active, QPalette::Base).name().toStdString();
    // Otherwise the checks below could not tell the right colours from the wrong ones.
    ASSERT_NE(highlight,
              system.color(QPalette::Disabled, QPalette::Highlight).name().toStdString());
    ASSERT_NE(base, system.color(QPalette::Active, QPalette::Window).name().toStdString());

    const char *const panels[] = {"pnlSendTime", "pnlScanTime", "pnlSameTime"};
    for (const char *name : panels)
        EXPECT_EQ(child<QLabel>(name)->palette().color(QPalette::Window).name().toStdString(),
                  highlight)
            << name;
    connectReader(); // the group boxes are enabled now
    for (const char *name : panels) {
        EXPECT_TRUE(child<QLabel>(name)->isEnabled()) << name;
        EXPECT_EQ(child<QLabel>(name)->palette().color(QPalette::Window).name().toStdString(),
                  highlight)
            << name;
    }

    // The colours the indicator showed, each seen as a pass asks for a card, until `passes`.
    std::vector<std::string> phases;
    const auto follow = [&](std::uint8_t group, std::size_t passes, const char *stop) {
        phases.clear();
        reader.onRequest([&, group, passes, stop](const Bytes &) {
            auto *shape = child<QWidget>("shape_run");
            if (reader.commands().back() != std::make_pair(group, std::uint8_t{0x10}) ||
                !shape->isVisible() || phases.size() == passes)
                return;
            phases.push_back(shape->palette().color(QPalette::Window).name().toStdString());
            if (phases.size() == passes)
                QTimer::singleShot(0, &form, [this, stop] { click(stop); });
        });
    };
    typeACardInField();
    follow(0x0A, 3, "btn_Stop01");
    click("btn_Read01");
    EXPECT_EQ(phases, (std::vector<std::string>{base, "#ffff00", base}));

    // The phase goes on from run to run and page to page.
    const std::string next = form.indicatorPhase() == 1 ? "#ffff00" : base;
    reader.always(0x0B, 0x00, 1);
    reader.always(0x0B, 0x10, 0xE0);
    showPage("ts_ISO14443B");
    follow(0x0B, 1, "btn_Stop02");
    click("btn_Read02");
    EXPECT_EQ(phases, std::vector<std::string>{next});
}

TEST_F(FrmMainTest, ResultBoxesTakeAClickAndCopyButStayReadOnly)
{
    TfrmMain &form = window();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    int boxes = 0;
    for (const Caption &c : kAccessibleNames) {
        auto *box = form.findChild<QLineEdit *>(c.name);
        if (!box)
            continue;
        ++boxes;
        EXPECT_TRUE(box->isReadOnly()) << c.name;
        EXPECT_EQ(box->focusPolicy(), Qt::ClickFocus) << c.name;
        EXPECT_TRUE(box->toolTip().contains("Ctrl+Shift+C")) << c.name;
        const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
        EXPECT_EQ(entries(*menu), (std::vector<std::string>{"Copy", "Select All"})) << c.name;
    }
    EXPECT_EQ(boxes, 15);
    EXPECT_EQ(child<QComboBox>("cbxCommNo")->focusPolicy(), Qt::ClickFocus);

    typeACardInField();
    connectReader();
    whenAsked(0x0A, 0x10, 2, [this] { click("btn_Stop01"); });
    click("btn_Read01");

    auto *uid = child<QLineEdit>("edt_14443A_UID");
    QTest::mouseClick(uid, Qt::LeftButton);
    EXPECT_TRUE(uid->hasFocus());
    QTest::keyClick(uid, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(uid, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "0000000078563412");
    QTest::keyClick(uid, Qt::Key_Delete);
    QTest::keyClicks(uid, "x");
    EXPECT_EQ(uid->text(), "0000000078563412");
    // A screen reader's edits (AT-SPI SetTextContents and the like) are refused too.
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(uid);
    ASSERT_NE(face, nullptr);
    face->setText(QAccessible::Value, "00");
    if (QAccessibleEditableTextInterface *editable = face->editableTextInterface()) {
        editable->replaceText(0, 16, "FFFF");
        editable->insertText(0, "1");
        editable->deleteText(0, 2);
    }
    EXPECT_EQ(uid->text(), "0000000078563412");

    // The whole page as one spreadsheet row; on a page without results it copies nothing.
    QTest::keyClick(uid, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    const std::string row = QGuiApplication::clipboard()->text().toStdString();
    EXPECT_EQ(row, "0000000078563412\t04\t08\tMifare Classic 1K");
    showPage("ts_SetKeypad");
    QTest::keyClick(&form, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), row);
}

struct CardInterface
{
    const char *page;
    const char *read;
    const char *stop;
    std::uint8_t group;
};

const CardInterface kInterfaces[] = {
    {"ts_ISO14443A", "btn_Read01", "btn_Stop01", 0x0A},
    {"ts_ISO14443B", "btn_Read02", "btn_Stop02", 0x0B},
    {"ts_Felica", "btn_Read03", "btn_Stop03", 0x0C},
    {"ts_ISO15693", "btn_Read04", "btn_Stop04", 0x0D},
};

TEST_F(FrmMainTest, F5AndEscPressTheVisiblePagesReadAndStopOnlyWhenEnabled)
{
    TfrmMain &form = window();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    reader.always(0x00, 0x30, 1);
    reader.always(0x00, 0x31, 1);
    for (const CardInterface &card : kInterfaces) {
        reader.always(card.group, 0x00, 1);
        reader.alwaysSilent(card.group, 0x10);
    }
    EXPECT_EQ(child<QPushButton>("btn_Read01")->toolTip(), "Read (F5)");
    EXPECT_EQ(child<QPushButton>("btn_Read05")->toolTip(), "Initialize (F5)");
    EXPECT_EQ(child<QPushButton>("btn_Stop03")->toolTip(), "Stop (Esc)");

    // Disconnected, Read is disabled on every page.
    for (const CardInterface &card : kInterfaces) {
        showPage(card.page);
        QTest::keyClick(&form, Qt::Key_F5);
        QTest::keyClick(&form, Qt::Key_Escape);
    }
    EXPECT_TRUE(reader.requests().empty());
    for (int page = 1; page <= 5; ++page)
        EXPECT_FALSE(form.running(page));

    connectReader();
    for (const CardInterface &card : kInterfaces) {
        showPage(card.page);
        // Mid-run Read is disabled, so F5 starts nothing; Esc ends the run after its pass.
        whenAsked(card.group, 0x10, 2, [&form] {
            QTest::keyClick(&form, Qt::Key_F5);
            QTest::keyClick(&form, Qt::Key_Escape);
        });
        QTest::keyClick(&form, Qt::Key_F5);
        EXPECT_EQ(reader.count(card.group, 0x00), 1) << card.page;
        EXPECT_EQ(reader.count(card.group, 0x10), 2) << card.page;
        EXPECT_TRUE(enabled(card.read)) << card.page;
        EXPECT_FALSE(enabled(card.stop)) << card.page;
    }
}

// The ports with their devices, the first chosen; the list follows what is plugged in
// while disconnected.
TEST_F(FrmMainTest, PortListShowsTheDevicesAndFollowsWhatIsPluggedInWhileDisconnected)
{
    auto *combo = child<QComboBox>("cbxCommNo");
    const auto items = [&] {
        QStringList names;
        for (int i = 0; i < combo->count(); ++i)
            names << combo->itemText(i);
        return names.join(' ').toStdString() + " / " + combo->currentText().toStdString();
    };
    EXPECT_FALSE(combo->isEditable());
    EXPECT_EQ(items(), "COM03 COM07 / COM03");
    const QString tip = combo->itemData(1, Qt::ToolTipRole).toString();
    EXPECT_TRUE(tip.contains("/dev/ttyUSB0")) << tip.toStdString();
    EXPECT_TRUE(tip.contains("FTDI FT232R")) << tip.toStdString();
    EXPECT_TRUE(combo->toolTip().contains("/dev/ttyS2"));
    combo->setCurrentIndex(1);
    emit combo->activated(1); // the operator's choice
    EXPECT_EQ(combo->toolTip(), tip);

    // QN480_PORT chooses the entry it names, when the list holds it (the demo's simulator).
    for (const auto &[start, chosen] : {std::pair{"COM07", "COM07"}, {"COM99", "COM03"}}) {
        FrmMainDependencies deps = dependencies();
        deps.startPort = QString::fromLatin1(start);
        const TfrmMain other(deps);
        EXPECT_EQ(other.findChild<QComboBox *>("cbxCommNo")->currentText(), chosen) << start;
    }

    const PortEntry usb1{"COM101", 101, "/dev/ttyUSB1", "CP2102"};
    const PortEntry s2 = ports[0];
    const PortEntry usb0 = ports[1];
    const struct
    {
        std::vector<PortEntry> plugged;
        const char *shown;
    } steps[] = {
        {{s2, usb1, usb0}, "COM03 COM101 COM07 / COM07"}, // a new adaptor appears
        {{s2, usb1}, "COM03 COM101 / COM03"},             // the chosen one is unplugged
        {{s2, usb1, usb0}, "COM03 COM101 COM07 / COM07"}, // and comes back chosen
        {{}, " / "},
    };
    for (const auto &step : steps) {
        ports = step.plugged;
        window().portRow().watchPorts();
        EXPECT_EQ(items(), step.shown);
        // The same list again rebuilds nothing.
        const QSignalSpy rebuilt(combo->model(), &QAbstractItemModel::rowsRemoved);
        window().portRow().watchPorts();
        EXPECT_EQ(rebuilt.count(), 0);
    }

    // Nothing changes while connected.
    ports = {s2, usb0};
    window().portRow().watchPorts();
    connectReader();
    ports = {s2};
    window().portRow().watchPorts();
    EXPECT_EQ(items(), "COM03 COM07 / COM07");
}

TEST_F(FrmMainTest, APortsTooltipShowsHostileTextAsTheCharactersItHolds)
{
    struct Case
    {
        std::string device;
        std::string shown;
    };
    const std::vector<Case> cases{
        {"<img src=\"/etc/passwd\">", R"(<img src="/etc/passwd"> - d)"},
        {"<b>COM01</b> &amp;", "<b>COM01</b> &amp; - d"},
        {"/dev/a\n<i>forged line</i>", R"(/dev/a\x0A<i>forged line</i> - d)"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0 - d"},
    };
    ports.clear();
    for (std::size_t i = 0; i < cases.size(); ++i)
        ports.push_back({"COM1" + std::to_string(i), 10 + int(i), cases[i].device, "d"});
    window();
    auto *combo = child<QComboBox>("cbxCommNo");
    ASSERT_EQ(combo->count(), int(cases.size()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const QString tip = combo->itemData(int(i), Qt::ToolTipRole).toString();
        // What a tooltip shows: Qt takes text that looks like HTML as HTML.
        QTextDocument shown;
        if (Qt::mightBeRichText(tip))
            shown.setHtml(tip);
        else
            shown.setPlainText(tip);
        EXPECT_EQ(shown.toPlainText().toStdString(), cases[i].shown) << tip.toStdString();
    }
}

TEST_F(FrmMainTest, ConnectUnlocksThePagesAndDisconnectOrAFailureLocksThem)
{
    TfrmMain &form = window();
    child<QComboBox>("cbxCommNo")->setCurrentIndex(1);
    click("btn_Connect");
    EXPECT_EQ(openedNumber, 7);
    EXPECT_EQ(openedSettings, "115200,n,8,1");
    EXPECT_TRUE(form.link().hasPort());
    EXPECT_EQ(form.statusText(), " Connect OK!! ");
    EXPECT_EQ(child<QPushButton>("btn_Connect")->text(), "Disconnect");
    EXPECT_TRUE(form.connected());
    // Initialize too, though its hidden page holds it back until the page is shown.
    for (const char *name : kReadButtons)
        EXPECT_TRUE(child<QWidget>(name)->isEnabledTo(child<QWidget>(name)->parentWidget()))
            << name;
    for (const char *name : kStopButtons)
        EXPECT_FALSE(enabled(name)) << name;
    for (const char *name : kKeypadGroups)
        EXPECT_TRUE(enabled(name)) << name;

    click("btn_Connect");
    EXPECT_EQ(form.statusText(), " ");
    expectLocked();
    EXPECT_TRUE(reader.requests().empty());

    // A refused open shows its reason; one that throws is reported and the window goes on.
    openSucceeds = false;
    click("btn_Connect");
    EXPECT_EQ(form.statusText(), " Connect Error!! ");
    EXPECT_EQ(child<QLabel>("sbMainPanel0")->toolTip(), "Device or resource busy");
    expectLocked();
    openSucceeds = true;
    openThrows = true;
    click("btn_Connect");
    EXPECT_EQ(reported, std::vector<QString>{"port exploded"});
    EXPECT_TRUE(form.isVisible());

    // The next attempt starts afresh.
    click("btn_Connect");
    EXPECT_EQ(form.statusText(), " Connect OK!! ");
    EXPECT_TRUE(child<QLabel>("sbMainPanel0")->toolTip().isEmpty());
    EXPECT_EQ(reported.size(), 1u);
}

TEST_F(FrmMainTest, WithoutSerialPortsConnectFails)
{
    ports.clear();
    FrmMainDependencies deps = dependencies();
    deps.openPort = FrmMainDependencies{}.openPort; // the real OpenPort
    TfrmMain form(deps);
    EXPECT_EQ(form.findChild<QComboBox *>("cbxCommNo")->count(), 0);
    form.portRow().btn_ConnectClick();
    EXPECT_EQ(form.statusText(), " Connect Error!! ");
    EXPECT_FALSE(form.connected());
    EXPECT_FALSE(form.link().hasPort());
}

// A run holds the port row and its page's Read until Stop, a change of page (both after the
// pass in progress) or an exception (at once) ends it.
TEST_F(FrmMainTest, ARunLocksThePortRowUntilStopAPageChangeOrAnExceptionEndsIt)
{
    typeACardInField();
    connectReader();
    TfrmMain &form = window();
    const auto state = [&] {
        return QStringList{enabled("pnlCounect") ? "row" : "", enabled("btn_Read01") ? "read" : "",
                           enabled("btn_Stop01") ? "stop" : "",
                           child<QWidget>("shape_run")->isVisible() ? "indicator" : "",
                           form.running(1) ? "running" : ""}
            .join(' ')
            .simplified()
            .toStdString();
    };
    std::string during;
    whenAsked(0x0A, 0x10, 3, [&] {
        during = state();
        click("btn_Stop01");
    });
    click("btn_Read01");
    EXPECT_EQ(during, "stop indicator running");
    EXPECT_EQ(state(), "row read");
    EXPECT_EQ(form.statusText(), " ");
    // The pass in progress completed; the carrier went off once, last.
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(reader.commands().back(), std::make_pair(std::uint8_t{0x00}, std::uint8_t{0x31}));
    EXPECT_EQ(reader.count(0x0A, 0x10), 3);

    reader.clearLog();
    whenAsked(0x0A, 0x10, 2, [&] { showPage("ts_ISO14443B"); });
    click("btn_Read01");
    EXPECT_EQ(child<QTabWidget>("pcMain")->currentWidget()->objectName(), "ts_ISO14443B");
    EXPECT_EQ(reader.count(0x0A, 0x10), 2);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(state(), "row read");

    showPage("ts_ISO14443A");
    reader.onRequest([&](const Bytes &request) {
        if (request.at(5) == 0x0A && request.at(6) == 0x00)
            throw std::runtime_error("line noise");
    });
    click("btn_Read01");
    EXPECT_EQ(reported, std::vector<QString>{"line noise"});
    EXPECT_EQ(state(), "row read");
}

// The cascade and the UID's text are the procedure's; the box shows the longest whole.
TEST_F(FrmMainTest, TheUidBoxShowsATripleSizeUidWhole)
{
    typeACardInField();
    reader.answer(0x0A, 0x10, 1, hex("44 03"));
    for (const char *level : {"88 04 A1 B2", "88 C3 D4 E5"}) {
        reader.answer(0x0A, 0x12, 1, hex(level));
        reader.answer(0x0A, 0x13, 1, {0x04});
    }
    reader.answer(0x0A, 0x12, 1, hex("F6 07 18 29"));
    reader.answer(0x0A, 0x13, 1, {0x20});
    reader.answer(0x0A, 0x15, 1, hex("06 75 77 81 02 80"));
    connectReader();
    whenAsked(0x0A, 0x10, 1, [this] { click("btn_Stop01"); });
    click("btn_Read01");

    auto *uidBox = child<QLineEdit>("edt_14443A_UID");
    const QString uid = "291807F6E5D4C3B2A104";
    EXPECT_EQ(uidBox->text(), uid);
    EXPECT_EQ(child<QLineEdit>("edt_14443A_CardType")->text(), "Mifare DESFire");
    EXPECT_LE(uidBox->fontMetrics().horizontalAdvance(uid), uidBox->contentsRect().width());
}

TEST_F(FrmMainTest, EachPageRendersItsCardsAndItsRefusals)
{
    const struct
    {
        int number; // of its Read and Stop buttons
        const char *page;
        std::uint8_t group;
        const char *card; // a poll answer with a card
        const char *boxes;
        QString shown; // in those boxes, each ended by '|'
        QString announced;
        QString configureFailure;
    } cases[] = {
        {2, "ts_ISO14443B", 0x0B, "1A 2B 3C 4D 00 00 00 00 00 81 71",
         "edt_ISO14443B_BPUPI edt_ISO14443B_AppData edt_ISO14443B_Info",
         "1A 2B 3C 4D |00 00 00 00 |00 81 71 |", " 1A 2B 3C 4D ", " Initialize 43B Mode Failed!"},
        {3, "ts_Felica", 0x0C, "00 01 0B 01 02 03 04 05 06 07 08",
         "edt_Felica_Slot edt_Felica_SubResp edt_Felica_UID", "00 |01 |01 02 03 04 05 06 07 08 |",
         " 01 02 03 04 05 06 07 08 ", " Initialize Felica Mode Failed!"},
        {4, "ts_ISO15693", 0x0D, "00 11 22 33 44 55 66 77 88",
         "edt_ISO15693_DSFID edt_ISO15693_UID", "00 |11 22 33 44 55 66 77 88 |",
         " 11 22 33 44 55 66 77 88 ", " Initialize Felica Mode Failed!"},
    };
    connectReader();
    TfrmMain &form = window();
    reader.always(0x00, 0x30, 1);
    reader.always(0x00, 0x31, 1);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.page);
        const std::string read = "btn_Read0" + std::to_string(c.number);
        const std::string stop = "btn_Stop0" + std::to_string(c.number);
        showPage(c.page);
        // A card, then none: the boxes keep the card.
        reader.answer(c.group, 0x00, 1);
        reader.answer(c.group, 0x10, 1, hex(c.card));
        reader.answer(c.group, 0x10, 0xE0);
        QString afterCard;
        whenAsked(c.group, 0x10, reader.count(c.group, 0x10) + 2, [&] {
            afterCard = form.statusText();
            click(stop.c_str());
        });
        click(read.c_str());
        EXPECT_EQ(afterCard, c.announced);
        QString shown;
        for (const QString &name : QString::fromLatin1(c.boxes).split(' '))
            shown += form.findChild<QLineEdit *>(name)->text() + '|';
        EXPECT_EQ(shown, c.shown);
        EXPECT_EQ(form.statusText(), " ");

        // Refusals of the set-up stand after the run: the reader's message, else the page's.
        reader.answer(c.group, 0x00, 0x22);
        click(read.c_str());
        EXPECT_EQ(form.statusText(), " Device received incorrect parameter.");
        reader.answer(c.group, 0x00, 0x31); // a status without a message
        click(read.c_str());
        EXPECT_EQ(form.statusText(), c.configureFailure);
        EXPECT_TRUE(enabled(read.c_str()));
    }
}

TEST_F(FrmMainTest, TypeAPagesAnnounceACardOnceAndMarkItsLoss)
{
    typeACardInField();
    connectReader();
    TfrmMain &form = window();
    const QString uid = "0000000078563412";
    const QString noCard = QString::fromUtf8(" There is no card or card doesn\u2019t respond.");
    struct Seen
    {
        QString status;
        QString hint;
    };
    std::vector<Seen> passStarts;      // what each pass left, as the next one begins
    std::vector<QString> uidAtCascade; // the UID box as each anticollision goes out
    const auto follow = [&](const char *stop, int passes) {
        passStarts.clear();
        uidAtCascade.clear();
        reader.onRequest([&, stop, passes](const Bytes &request) {
            if (request[6] == 0x12)
                uidAtCascade.push_back(child<QLineEdit>("edt_14443A_UID")->text());
            if (request[6] != 0x10)
                return;
            passStarts.push_back({form.statusText(), form.sbMainHint()});
            if (static_cast<int>(passStarts.size()) == passes)
                child<QPushButton>(stop)->click();
        });
    };

    // The initialization page: a time-out marks the hint with a blank and keeps the
    // announcement; "no card" puts its message in the hint. It never clears a box and shows
    // the card's UID, ATQA and SAK on the ISO14443A page, its type in its own box.
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.silence(0x0A, 0x10);
    reader.answer(0x0A, 0x10, 0xE0);
    follow("btn_Stop05", 4);
    form.showMifarePage();
    child<QPushButton>("btn_Read05")->click();
    ASSERT_EQ(passStarts.size(), 4u);
    EXPECT_EQ(passStarts[1].status, " " + uid);
    EXPECT_EQ(passStarts[1].hint, uid);
    EXPECT_EQ(passStarts[2].status, " " + uid);
    EXPECT_EQ(passStarts[2].hint, " ");
    EXPECT_EQ(passStarts[3].status, noCard);
    EXPECT_EQ(passStarts[3].hint, noCard);
    EXPECT_EQ(uidAtCascade, (std::vector<QString>{"", uid}));
    EXPECT_EQ(child<QLineEdit>("edt_MifarePlusInit")->text(), "Mifare Classic 1K");
    EXPECT_EQ(child<QLineEdit>("edt_14443A_ATQA")->text(), "04");
    EXPECT_EQ(child<QLineEdit>("edt_14443A_SAK")->text(), "08");
    EXPECT_EQ(child<QLineEdit>("edt_14443A_CardType")->text(), "");
    EXPECT_EQ(form.statusText(), " ");

    // The ISO14443A page: announced once while it stays; a pass without it empties the
    // hint and the line, and the next card to answer first clears the boxes.
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.answer(0x0A, 0x10, 0xE0);
    follow("btn_Stop01", 4);
    showPage("ts_ISO14443A");
    click("btn_Read01");
    ASSERT_EQ(passStarts.size(), 4u);
    EXPECT_EQ(passStarts[0].status, " Start 13.56-MHz carrier emission");
    EXPECT_EQ(passStarts[0].hint, "");
    EXPECT_EQ(passStarts[1].status, " " + uid);
    EXPECT_EQ(passStarts[2].status, " " + uid);
    EXPECT_EQ(passStarts[2].hint, uid);
    EXPECT_EQ(passStarts[3].status, noCard);
    EXPECT_EQ(passStarts[3].hint, "");
    EXPECT_EQ(uidAtCascade, (std::vector<QString>{"", uid, ""}));
    EXPECT_EQ(child<QLineEdit>("edt_14443A_CardType")->text(), "Mifare Classic 1K");
    EXPECT_EQ(form.sbMainHint(), uid);
}

TEST_F(FrmMainTest, ARunFillsTheCardLogAndTheUidBoxOffersEveryForm)
{
    // A log file that cannot be written: a folder stands where it would go.
    logSettings.setValue("cardLog/keepLogFile", true);
    std::filesystem::create_directory(logDir / "cards.jsonl");
    TfrmMain &form = window();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    // Two passes find the card; then it has left, for longer than the debounce.
    typeACardInField();
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.always(0x0A, 0x10, 0xE0);
    connectReader();
    whenAsked(0x0A, 0x10, 15, [this] { click("btn_Stop01"); });
    click("btn_Read01");
    ASSERT_FALSE(form.running(1));

    CardLogWindow &log = form.cardLog();
    EXPECT_FALSE(log.isVisible());
    const std::deque<EventRecord> &events = log.model().events().events();
    const TypeACard classic{{0x12, 0x34, 0x56, 0x78}, {0x04, 0x00}, 0x08, {}, {},
                            "Mifare Classic 1K"};
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, PresenceKind::Present);
    EXPECT_EQ(events[1].kind, PresenceKind::Removed);
    for (const EventRecord &event : events)
        EXPECT_EQ(event.card, Card(classic));
    EXPECT_FALSE(events[1].cause);
    // A card still there when Stop ends the run leaves the card log with the run.
    reader.always(0x0A, 0x10, 1, hex("04 00"));
    whenAsked(0x0A, 0x10, reader.count(0x0A, 0x10) + 3, [this] { click("btn_Stop01"); });
    click("btn_Read01");
    ASSERT_FALSE(form.running(1));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[3].kind, PresenceKind::Removed);
    EXPECT_EQ(events[3].cause, RemovalCause::Stopped);
    // Polling went on; the failure shows in the status bar's tooltip.
    auto *bar = child<QStatusBar>("sbMain");
    for (int i = 0; i < 500 && bar->toolTip().isEmpty(); ++i)
        QTest::qWait(10);
    EXPECT_TRUE(bar->toolTip().contains("cards.jsonl")) << bar->toolTip().toStdString();

    // The UID box still shows the card: every form in its tooltip and its menu, with the
    // box's own entries and the card log.
    auto *uid = child<QLineEdit>("edt_14443A_UID");
    EXPECT_TRUE(uid->toolTip().contains("dec10: 0305419896")) << uid->toolTip().toStdString();
    EXPECT_FALSE(child<QLineEdit>("edt_14443A_SAK")->toolTip().contains("dec10"));
    CardPage *page = nullptr;
    for (CardPage *candidate : form.findChildren<CardPage *>()) {
        if (candidate->sheet() == child<QWidget>("ts_ISO14443A"))
            page = candidate;
    }
    ASSERT_NE(page, nullptr);
    const std::unique_ptr<QMenu> menu(page->contextMenu(uid));
    EXPECT_EQ(entries(*menu),
              (std::vector<std::string>{"Copy", "Select All", "Copy UID as", "Card log…"}));
    menu->findChild<QAction *>("act_cardLog")->trigger();
    EXPECT_TRUE(log.isVisible());
    log.close();
    QTest::keyClick(&form, Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(log.isVisible());

    // Closing the window takes the card log with it.
    form.close();
    EXPECT_FALSE(log.isVisible());
}

TEST_F(FrmMainTest, ARunsEndGivesBackOnlyWhatNoOtherRunHolds)
{
    using Command = std::pair<std::uint8_t, std::uint8_t>;
    typeACardInField();
    reader.always(0x0B, 0x00, 1);
    reader.always(0x0B, 0x10, 0xE0);
    connectReader();
    TfrmMain &form = window();
    bool portRowAfterB = true;
    bool readAfterB = false;
    // Run A shows SetKeypad; during its reads run B starts on ISO14443B and is stopped. Once
    // B has ended, A is still on the stack, and the port is closed under it.
    reader.onRequest([&, step = 0](const Bytes &) mutable {
        const Command last = reader.commands().back();
        const auto then = [&](std::function<void()> action) {
            ++step;
            QTimer::singleShot(0, &form, action);
        };
        if (step == 0 && last == Command{0x0A, 0x13})
            then([this] { showPage("ts_SetKeypad"); });
        else if (step == 1 && last == Command{0x00, 0x10})
            then([this] {
                showPage("ts_ISO14443B");
                click("btn_Read02");
            });
        else if (step == 2 && reader.count(0x0B, 0x10) == 2)
            then([this] { click("btn_Stop02"); });
        else if (step == 3 && last == Command{0x00, 0x12})
            then([&] {
                portRowAfterB = enabled("pnlCounect");
                readAfterB = enabled("btn_Read02");
                form.portRow().btn_ConnectClick();
            });
    });

    click("btn_Read01");

    EXPECT_EQ(reader.count(0x0B, 0x10), 2);
    EXPECT_FALSE(portRowAfterB); // run A still held it
    EXPECT_TRUE(readAfterB);
    expectLocked();
    // The keypad reads ended with the port, without a word about the steps that never ran.
    EXPECT_EQ(reader.count(0x00, 0x1A), 0);
    EXPECT_EQ(form.statusText(), " ");
}

// A screen reader's Press on a button, as AT-SPI's doAction sends it.
void pressAsScreenReader(QAbstractButton *button)
{
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(button);
    QAccessibleActionInterface *actions = face ? face->actionInterface() : nullptr;
    ASSERT_NE(actions, nullptr) << button->objectName().toStdString();
    actions->doAction(QAccessibleActionInterface::pressAction());
    QTest::qWait(200); // a Press clicks as an animation does, after a moment
}

// A screen reader reaches every control, shown or not: the hidden page's buttons take no
// Press, and its handler refuses a click that gets past them. Shown, the page runs; a page
// change ends the run and hides the page again.
TEST_F(FrmMainTest, TheHiddenPageOffersNothingToPressUntilShown)
{
    typeACardInField();
    connectReader();
    TfrmMain &form = window();
    for (const char *name : {"btn_Read05", "btn_Stop05"}) {
        QAccessibleInterface *button =
            QAccessible::queryAccessibleInterface(child<QPushButton>(name));
        ASSERT_NE(button, nullptr) << name;
        EXPECT_TRUE(button->state().invisible) << name;
        EXPECT_TRUE(button->state().disabled) << name;
        pressAsScreenReader(child<QPushButton>(name));
    }
    emit child<QPushButton>("btn_Read05")->clicked();
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_TRUE(reader.requests().empty());
    EXPECT_FALSE(form.running(5));
    EXPECT_TRUE(enabled("pnlCounect"));
    EXPECT_TRUE(enabled("btn_Read01"));

    auto *pages = child<QTabWidget>("pcMain");
    form.showMifarePage();
    EXPECT_EQ(pages->currentWidget()->objectName(), "ts_MifareInitialization");
    whenAsked(0x0A, 0x10, 2, [this] { showPage("ts_SetKeypad"); });
    pressAsScreenReader(child<QPushButton>("btn_Read05"));
    EXPECT_EQ(reader.count(0x0A, 0x10), 2);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_FALSE(form.running(5));
    EXPECT_EQ(pages->currentWidget()->objectName(), "ts_SetKeypad");
    EXPECT_EQ(pages->indexOf(child<QWidget>("ts_MifareInitialization")), -1);
    EXPECT_FALSE(enabled("btn_Read05"));
    EXPECT_TRUE(enabled("pnlCounect"));
}

// The Gets run inside the poll's wait, show the reader's settings and leave the card's pass
// alone.
TEST_F(FrmMainTest, SetKeypadShownMidRunReadsTheReadersSettings)
{
    typeACardInField();
    reader.always(0x00, 0x10, 1, hex("05"));
    reader.always(0x00, 0x16, 1, hex("0F"));
    connectReader();
    TfrmMain &form = window();
    whenAsked(0x0A, 0x13, 1, [&] { showPage("ts_SetKeypad"); });

    click("btn_Read01");

    EXPECT_TRUE(child<QAbstractButton>("chk01_Led")->isChecked());
    EXPECT_EQ(child<QLabel>("pnlSameTime")->text(), "15");
    EXPECT_EQ(reader.count(0x00, 0x14), 1);
    EXPECT_EQ(child<QLineEdit>("edt_14443A_SAK")->text(), "08");
    EXPECT_FALSE(form.running(1));
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
}

// Throws from inside event delivery, where only notify() can catch it.
class ThrowingObject : public QObject
{
public:
    std::function<void()> thrower;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() == QEvent::User)
            thrower();
        return QObject::event(event);
    }
};

TEST(ApplicationTest, ShowsAnEscapedExceptionInAMessageBoxAndGoesOn)
{
    auto *app = qobject_cast<Application *>(QCoreApplication::instance());
    ASSERT_NE(app, nullptr);
    QString shown;
    ThrowingObject object;
    object.thrower = [&] {
        // Runs inside the message box's own loop.
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            shown = box->text();
            box->accept();
        });
        throw std::runtime_error("boom");
    };
    QEvent event(QEvent::User);
    EXPECT_TRUE(QCoreApplication::sendEvent(&object, &event));
    EXPECT_EQ(shown, "boom");

    // Something that is not a standard exception is shown with the empty text.
    shown = "unchanged";
    app->setReporter([&](const QString &message) { shown = message; });
    object.thrower = [] {
        throw 42;
    };
    QCoreApplication::sendEvent(&object, &event);
    EXPECT_EQ(shown, "");
    app->setReporter(&Application::showInMessageBox);
}

TEST_F(FrmMainTest, ExceptionDuringStartUpIsReportedAndEndsTheProgram)
{
    auto *app = qobject_cast<Application *>(QCoreApplication::instance());
    FrmMainDependencies deps = dependencies();
    deps.listPorts = []() -> std::vector<PortEntry> {
        throw std::runtime_error("no ports");
    };
    bool started = false;
    EXPECT_EQ(runMainWindow(*app, deps, [&](TfrmMain &) { started = true; }), 1);
    EXPECT_FALSE(started);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "no ports");
}

} // namespace
} // namespace qn480::testing
