// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_page.h"

#include "form_widgets.h"
#include "link.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <string_view>

namespace qn480 {

namespace {

constexpr int kTimingMax = 255;
constexpr int kTimingLargeStep = 5;
constexpr int kTimingStart = 10;

constexpr std::array<QRect, 4> kGroupRects{{
    {8, 2, 220, 136},   // gbox_keypad01: Mode
    {238, 2, 220, 136}, // gbox_keypad02: Type
    {8, 136, 451, 212}, // gbox_keypad03: AddType
    {463, 2, 306, 346}, // gbox_keypad04: timings
}};

constexpr std::array<const char *, 4> kGroupNames{"Mode", "Type", "AddType", "Timings"};

// Which byte of a setting a check box shows.
enum class Part { Mode, Types, Reverse, Add };

struct CheckControl
{
    const char *name;
    const char *caption;
    int group;
    QRect rect;
    Part part;
    std::uint8_t mask;
};

constexpr std::array<CheckControl, 19> kChecks{{
    {"chk01_Auto", "AutoRead", 0, {20, 16, 90, 17}, Part::Mode, 0x01},
    {"chk01_Same", "SameCard", 0, {20, 46, 90, 17}, Part::Mode, 0x08},
    {"chk01_Beep", "Beep", 0, {126, 16, 90, 17}, Part::Mode, 0x02},
    {"chk01_Led", "LED", 0, {126, 46, 90, 17}, Part::Mode, 0x04},
    {"chk02_43A", "ISO14443A", 1, {20, 16, 90, 17}, Part::Types, 0x01},
    {"chk02_43B", "ISO14443B", 1, {20, 46, 90, 17}, Part::Types, 0x02},
    {"chk02_693", "ISO15693", 1, {126, 16, 90, 17}, Part::Types, 0x08},
    {"chk02_43C", "Felia", 1, {126, 46, 90, 17}, Part::Types, 0x04},
    {"chk02_Guid", "Chinese GUID", 1, {20, 76, 181, 17}, Part::Types, 0x10},
    {"chk03_Comma", "Comma", 2, {20, 76, 100, 17}, Part::Add, 0x01},
    {"chk03_Space", "Space", 2, {120, 76, 100, 17}, Part::Add, 0x08},
    {"chk03_Brackets", "Brackets", 2, {220, 76, 100, 17}, Part::Add, 0x02},
    {"chk03_Quotes", "Quotes", 2, {320, 76, 100, 17}, Part::Add, 0x04},
    {"chk03_Tab", "Tab", 2, {20, 106, 100, 17}, Part::Add, 0x10},
    {"chk03_Down", "Down", 2, {120, 106, 100, 17}, Part::Add, 0x20},
    {"chk03_Ctrl", "Ctrl+Enter", 2, {220, 106, 100, 17}, Part::Add, 0x40},
    {"chk03_Enter", "Enter", 2, {320, 106, 100, 17}, Part::Add, kAddEnter},
    {"chk03_RevByte", "ReverseByte", 2, {20, 136, 120, 17}, Part::Reverse, kReverseByte},
    {"chk03_RevBit", "ReverseBit", 2, {20, 166, 120, 17}, Part::Reverse, kReverseBit},
}};

using Checks = std::array<QCheckBox *, kChecks.size()>;

// The byte the checked boxes of one part stand for.
std::uint8_t checkedByte(const Checks &checks, Part part)
{
    std::uint8_t byte = 0;
    for (std::size_t i = 0; i < kChecks.size(); ++i) {
        if (kChecks[i].part == part && checks[i]->isChecked())
            byte |= kChecks[i].mask;
    }
    return byte;
}

QCheckBox *checkOf(const Checks &checks, Part part, std::uint8_t mask)
{
    const auto found = std::find_if(kChecks.begin(), kChecks.end(), [&](const CheckControl &c) {
        return c.part == part && c.mask == mask;
    });
    return checks[std::size_t(found - kChecks.begin())];
}

struct FormatRadio
{
    int code; // the format code the reader uses for it
    const char *name;
    const char *caption;
    int left;
    int top;
};

constexpr QSize kRadioSize{60, 17};
constexpr int kStartFormat = kFormat16H;
constexpr std::array<FormatRadio, 11> kFormatRadios{{
    {3, "rbn03_6H", "6H", 20, 16},
    {5, "rbn03_8H", "8H", 90, 16},
    {7, "rbn03_10H", "10H", 160, 16},
    {1, "rbn03_14H", "14H", 230, 16},
    {9, "rbn03_16H", "16H", 300, 16},
    {12, "rbn03_32H", "32H", 370, 16},
    {10, "rbn03_4D", "4D", 20, 46},
    {2, "rbn03_5D", "5D", 90, 46},
    {4, "rbn03_8D", "8D", 160, 46},
    {6, "rbn03_10D", "10D", 230, 46},
    {8, "rbn03_13D", "13D", 300, 46},
}};

// A setting's texts and its two buttons.
struct SettingControls
{
    KeypadSetting setting;
    std::string_view getProgress; // before the command
    std::string_view getOk;       // reply accepted
    std::string_view setProgress;
    std::string_view setOk;
    const char *getName;
    const char *getCaption;
    const char *setName;
    const char *setCaption;
    int group;
    QRect getRect;
    QRect setRect;
};

const std::array<SettingControls, 6> kSettingControls{{
    {KeypadSetting::Mode,
     " Get HID Keyboard",
     " Get Mode OK!!",
     " Set HID Keyboard",
     " Set Mode OK!!",
     "btn_SetKeypadG01",
     "Get Mode",
     "btn_SetKeypadS01",
     "Set Mode",
     0,
     {20, 100, 90, 25},
     {118, 100, 90, 25}},
    {KeypadSetting::Type,
     " Get HID Keyboard read card type",
     " Get Type OK!!",
     " Set HID Keyboard read card type",
     " Set Type OK!!",
     "btn_SetKeypadG02",
     "Get Type",
     "btn_SetKeypadS02",
     "Set Type",
     1,
     {20, 100, 90, 25},
     {118, 100, 90, 25}},
    // The operator knows Set AddType's progress text from Set Type; it stays the same.
    {KeypadSetting::AddType,
     " Get HID Keyboard send type",
     " Get AddType OK!!",
     " Set HID Keyboard read card type",
     " Set AddType OK!!",
     "btn_SetKeypadG03",
     "Get AddType",
     "btn_SetKeypadS03",
     "Set AddType",
     2,
     {230, 166, 100, 25},
     {336, 166, 100, 25}},
    {KeypadSetting::SendTime,
     " Get Keypad_KeySendTime",
     " Get SendTime OK!!",
     " Set Keypad_KeySendTime ",
     " Set SendTime OK!!",
     "btn_SetKeypadG04",
     "Get SendTime",
     "btn_SetKeypadS04",
     "Set SendTime",
     3,
     {8, 56, 130, 30},
     {138, 56, 130, 30}},
    {KeypadSetting::ScanTime,
     " Get Keypad_ScanTime",
     " Get ScanTime OK!!",
     " Set Keypad_ScanTime ",
     " Set ScanTime OK!!",
     "btn_SetKeypadG05",
     "Get ScanTime",
     "btn_SetKeypadS05",
     "Set ScanTime",
     3,
     {8, 136, 130, 30},
     {138, 136, 130, 30}},
    {KeypadSetting::SameTime,
     " Get Keypad_SameCardTime",
     " Get SameCardTime OK!!",
     " Set Keypad_SameCardTime ",
     " Set SameCardTime OK!!",
     "btn_SetKeypadG06",
     "Get SameTime",
     "btn_SetKeypadS06",
     "Set SameTime",
     3,
     {8, 216, 130, 30},
     {138, 216, 130, 30}},
}};

const SettingControls &controlsOf(KeypadSetting setting)
{
    return kSettingControls[settingIndex(setting)];
}

constexpr QRect kDefaultRect{8, 270, 261, 30};

struct TimingControls
{
    KeypadSetting setting;
    const char *panel;
    QRect panelRect;
    const char *label;
    const char *unit;
    QRect labelRect;
    const char *bar;
    const char *barName; // for screen readers; the bar has no caption
    QRect barRect;
};

const std::array<TimingControls, 3> kTimings{{
    {KeypadSetting::SendTime,
     "pnlSendTime",
     {8, 20, 49, 30},
     "Label10",
     " *1ms",
     {55, 20, 60, 30},
     "sbSendTime",
     "SendTime",
     {115, 20, 154, 30}},
    {KeypadSetting::ScanTime,
     "pnlScanTime",
     {8, 100, 49, 30},
     "Label16",
     " *10ms",
     {55, 100, 60, 30},
     "sbScanTime",
     "ScanTime",
     {115, 100, 154, 30}},
    {KeypadSetting::SameTime,
     "pnlSameTime",
     {8, 180, 49, 30},
     "Label17",
     " *100ms",
     {55, 182, 60, 30},
     "sbSameTime",
     "SameCardTime",
     {115, 182, 154, 30}},
}};

std::size_t timingIndex(KeypadSetting setting)
{
    return std::size_t(
        std::find_if(kTimings.begin(), kTimings.end(),
                     [setting](const TimingControls &t) { return t.setting == setting; }) -
        kTimings.begin());
}

// The form's place for a check box or radio button, grown where its indicator and caption
// need more: above 96 DPI the style's indicator grows while the form's rectangles do not.
// At 96 DPI everything fits and the form's geometry holds exactly.
QRect grownToFit(const QAbstractButton *button, const QRect &rect)
{
    const QStyle *style = button->style();
    const bool radio = qobject_cast<const QRadioButton *>(button) != nullptr;
    const int indicatorWidth = style->pixelMetric(
        radio ? QStyle::PM_ExclusiveIndicatorWidth : QStyle::PM_IndicatorWidth, nullptr, button);
    const int indicatorHeight = style->pixelMetric(
        radio ? QStyle::PM_ExclusiveIndicatorHeight : QStyle::PM_IndicatorHeight, nullptr, button);
    const int spacing = style->pixelMetric(radio ? QStyle::PM_RadioButtonLabelSpacing
                                                 : QStyle::PM_CheckBoxLabelSpacing,
                                           nullptr, button);
    const QFontMetrics metrics(button->font());
    const QSize needed(indicatorWidth + spacing + metrics.horizontalAdvance(button->text()),
                       std::max(indicatorHeight, metrics.height()));
    return QRect(rect.topLeft(), rect.size().expandedTo(needed));
}

bool isTiming(KeypadSetting setting)
{
    return setting == KeypadSetting::SendTime || setting == KeypadSetting::ScanTime ||
           setting == KeypadSetting::SameTime;
}

// A refused command's message as the status line shows it, after its leading blank.
std::string failureLine(const KeypadOutcome &outcome)
{
    return " " + keypadFailureText(outcome);
}

} // namespace

KeypadPage::KeypadPage(Link &link, SetStatus setStatus, Guard guard, QWidget *parent)
    : QWidget(parent)
    , m_link(link)
    , m_keypad(link, this)
    , m_setStatus(std::move(setStatus))
    , m_guard(std::move(guard))
{
    setObjectName(QStringLiteral("ts_SetKeypad"));
    const auto onClick = [this](QAbstractButton *button, std::function<void()> handler) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler = std::move(handler)] { m_guard(handler); });
    };

    for (std::size_t i = 0; i < m_groups.size(); ++i) {
        auto *group = new QGroupBox(this);
        group->setObjectName(QStringLiteral("gbox_keypad") + twoDigits(int(i) + 1));
        group->setGeometry(kGroupRects[i]);
        group->setEnabled(false);
        // No caption on the form; screen readers still need to tell the four apart.
        group->setAccessibleName(QLatin1String(kGroupNames[i]));
        m_groups[i] = group;
    }

    for (std::size_t i = 0; i < kChecks.size(); ++i) {
        const CheckControl &layout = kChecks[i];
        auto *box = noTabStop(
            new QCheckBox(QLatin1String(layout.caption), m_groups[std::size_t(layout.group)]));
        box->setObjectName(QLatin1String(layout.name));
        box->setGeometry(grownToFit(box, layout.rect));
        m_checks[i] = box;
    }

    QGroupBox *formats = m_groups[2];
    m_formats = new QButtonGroup(formats);
    m_formats->setExclusive(true);
    for (const FormatRadio &layout : kFormatRadios) {
        auto *radio = noTabStop(new QRadioButton(QLatin1String(layout.caption), formats));
        radio->setObjectName(QLatin1String(layout.name));
        radio->setGeometry(grownToFit(radio, QRect(QPoint(layout.left, layout.top), kRadioSize)));
        m_formats->addButton(radio, layout.code);
    }
    m_formats->button(kStartFormat)->setChecked(true);

    const auto button = [&](int group, const char *name, const char *caption, const QRect &rect) {
        return makeButton(m_groups[std::size_t(group)], QLatin1String(name), QLatin1String(caption),
                          rect);
    };
    for (const SettingControls &c : kSettingControls) {
        const KeypadSetting setting = c.setting;
        onClick(button(c.group, c.getName, c.getCaption, c.getRect),
                [this, setting] { getSetting(setting); });
        QPushButton *set = button(c.group, c.setName, c.setCaption, c.setRect);
        onClick(set, [this, setting] { setSetting(setting); });
        m_setButtons[settingIndex(setting)] = set;
    }
    onClick(button(3, "Button1", "default", kDefaultRect), [this] { Button1Click(); });

    QGroupBox *timings = m_groups[3];
    // Arial's stand-in first, so that "255" stays inside the panel where Arial is missing.
    QFont panelFont;
    panelFont.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                           QStringLiteral("DejaVu Sans Condensed")});
    panelFont.setPixelSize(24);
    panelFont.setBold(true);
    QFont unitFont(font());
    unitFont.setBold(true);
    for (const TimingControls &layout : kTimings) {
        const std::size_t index = settingIndex(layout.setting);

        auto *panel = new QLabel(QString::number(kTimingStart), timings);
        panel->setObjectName(QLatin1String(layout.panel));
        panel->setGeometry(layout.panelRect);
        panel->setFrameStyle(QFrame::Box | QFrame::Plain);
        panel->setLineWidth(1);
        panel->setAlignment(Qt::AlignCenter);
        panel->setFont(panelFont);
        panel->setAutoFillBackground(true);
        // A bare count means nothing to a screen reader: named by its setting, with the
        // count and unit as its description.
        panel->setAccessibleName(QLatin1String(layout.barName));
        QPalette colours = panel->palette();
        // The group is disabled here, so the current colours are the greyed ones; the panel
        // keeps the live highlight in every state.
        colours.setColor(QPalette::Window, colours.color(QPalette::Active, QPalette::Highlight));
        colours.setColor(QPalette::WindowText, Qt::yellow);
        panel->setPalette(colours);
        m_panels[index] = panel;

        auto *unit = new QLabel(QLatin1String(layout.unit), timings);
        unit->setObjectName(QLatin1String(layout.label));
        unit->setTextFormat(Qt::PlainText);
        unit->setGeometry(layout.labelRect);
        unit->setFont(unitFont);
        unit->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

        auto *bar = noTabStop(new QScrollBar(Qt::Horizontal, timings));
        bar->setObjectName(QLatin1String(layout.bar));
        bar->setAccessibleName(QLatin1String(layout.barName));
        bar->setGeometry(layout.barRect);
        bar->setRange(0, kTimingMax);
        bar->setSingleStep(1);
        bar->setPageStep(kTimingLargeStep);
        bar->setValue(kTimingStart);
        const KeypadSetting setting = layout.setting;
        connect(bar, &QScrollBar::valueChanged, this,
                [this, setting] { m_guard([&] { showTiming(setting); }); });
        m_bars[index] = bar;
        showTiming(setting);
    }
}

void KeypadPage::setGroupsEnabled(bool enabled)
{
    for (QGroupBox *group : m_groups)
        group->setEnabled(enabled);
}

void KeypadPage::showTiming(KeypadSetting setting)
{
    const std::size_t index = settingIndex(setting);
    const QString count = QString::number(m_bars[index]->value());
    m_panels[index]->setText(count);
    m_panels[index]->setAccessibleDescription(count +
                                              QLatin1String(kTimings[timingIndex(setting)].unit));
}

KeypadSettings KeypadPage::shownValue(KeypadSetting setting)
{
    KeypadSettings value;
    switch (setting) {
    case KeypadSetting::Mode:
        value.mode = checkedByte(m_checks, Part::Mode);
        break;
    case KeypadSetting::Type:
        value.types = checkedByte(m_checks, Part::Types);
        break;
    case KeypadSetting::AddType: {
        // 16H when no format is selected, ReverseBit dropped when ReverseByte is checked
        // too, and Enter when no addition is checked: an empty flags byte is never sent.
        if (!isNamedFormat(m_formats->checkedId()))
            m_formats->button(kFormat16H)->setChecked(true);
        QCheckBox *byte = checkOf(m_checks, Part::Reverse, kReverseByte);
        QCheckBox *bit = checkOf(m_checks, Part::Reverse, kReverseBit);
        if (byte->isChecked())
            bit->setChecked(false);
        if (checkedByte(m_checks, Part::Add) == 0)
            checkOf(m_checks, Part::Add, kAddEnter)->setChecked(true);
        value.addType = {static_cast<std::uint8_t>(m_formats->checkedId()),
                         byte->isChecked()  ? kReverseByte
                         : bit->isChecked() ? kReverseBit
                                            : kNoReversal,
                         checkedByte(m_checks, Part::Add)};
        break;
    }
    case KeypadSetting::SendTime:
    case KeypadSetting::ScanTime:
    case KeypadSetting::SameTime:
        value.setBytes(setting, {static_cast<std::uint8_t>(
                                    std::clamp(m_bars[settingIndex(setting)]->value(), 0, 255))});
        break;
    }
    return value;
}

void KeypadPage::show(KeypadSetting setting, const KeypadSettings &settings)
{
    const auto showPart = [&](Part part, std::uint8_t byte) {
        for (std::size_t i = 0; i < kChecks.size(); ++i) {
            if (kChecks[i].part == part)
                m_checks[i]->setChecked((byte & kChecks[i].mask) != 0);
        }
    };
    switch (setting) {
    case KeypadSetting::Mode:
        showPart(Part::Mode, settings.mode);
        break;
    case KeypadSetting::Type:
        showPart(Part::Types, settings.types);
        break;
    case KeypadSetting::AddType: {
        // A code without a radio button leaves 8H selected.
        const int format = settings.addType.format;
        m_formats->button(isNamedFormat(format) ? format : kFormat8H)->setChecked(true);
        showPart(Part::Reverse, settings.addType.reverse);
        showPart(Part::Add, settings.addType.add);
        break;
    }
    case KeypadSetting::SendTime:
    case KeypadSetting::ScanTime:
    case KeypadSetting::SameTime:
        m_bars[settingIndex(setting)]->setValue(settings.bytes(setting)[0]);
        break;
    }
}

// Before a Get, so that a refused reply leaves no stale setting on show; the timings keep
// their positions. The cleared controls are no reading: they stay greyed, and their Set
// refuses, until a Get of theirs succeeds.
void KeypadPage::clear(KeypadSetting setting)
{
    if (isTiming(setting))
        return;
    KeypadSettings cleared;
    cleared.mode = 0;
    cleared.types = 0;
    cleared.addType = {kFormat8H, 0, 0};
    show(setting, cleared);
    markRead(setting, false);
}

std::vector<QAbstractButton *> KeypadPage::valueControls(KeypadSetting setting) const
{
    const auto parts = [setting]() -> std::vector<Part> {
        switch (setting) {
        case KeypadSetting::Mode:
            return {Part::Mode};
        case KeypadSetting::Type:
            return {Part::Types};
        case KeypadSetting::AddType:
            return {Part::Reverse, Part::Add};
        default:
            return {};
        }
    }();
    std::vector<QAbstractButton *> controls;
    for (std::size_t i = 0; i < kChecks.size(); ++i) {
        if (std::find(parts.begin(), parts.end(), kChecks[i].part) != parts.end())
            controls.push_back(m_checks[i]);
    }
    if (setting == KeypadSetting::AddType) {
        for (QAbstractButton *radio : m_formats->buttons())
            controls.push_back(radio);
    }
    return controls;
}

void KeypadPage::markRead(KeypadSetting setting, bool read)
{
    const std::size_t index = settingIndex(setting);
    m_unread[index] = !read;
    const SettingControls &c = controlsOf(setting);
    const QString tip =
        read
            ? QString()
            : QStringLiteral("Not read from the reader: press %1").arg(QLatin1String(c.getCaption));
    m_setButtons[index]->setEnabled(read);
    m_setButtons[index]->setToolTip(tip);
    for (QAbstractButton *control : valueControls(setting)) {
        control->setEnabled(read);
        control->setToolTip(tip);
    }
}

void KeypadPage::starting(KeypadSetting setting, bool write)
{
    if (!write)
        clear(setting);
    const SettingControls &c = controlsOf(setting);
    m_setStatus(std::string(write ? c.setProgress : c.getProgress));
}

void KeypadPage::finished(const KeypadOutcome &outcome, const KeypadSettings &settings)
{
    if (!outcome.accepted) {
        m_setStatus(failureLine(outcome));
        return;
    }
    const SettingControls &c = controlsOf(outcome.setting);
    if (!outcome.write) {
        show(outcome.setting, settings);
        markRead(outcome.setting, true);
    }
    m_setStatus(std::string(outcome.write ? c.setOk : c.getOk));
}

void KeypadPage::getSetting(KeypadSetting setting)
{
    KeypadSettings read;
    m_keypad.get(setting, read);
}

void KeypadPage::setSetting(KeypadSetting setting)
{
    // A click inside another operation's wait starts nothing, as on a disabled button; nor
    // does one on controls that were cleared and not read since.
    if (m_keypad.running() || m_unread[settingIndex(setting)])
        return;
    m_keypad.set(setting, shownValue(setting));
}

void KeypadPage::finish(const KeypadSequence &sequence, bool connected)
{
    if (sequence.end != KeypadEnd::Done)
        return; // not run, or cut short by whoever closed the port
    const auto failure = sequence.firstFailure();
    // Without a port nothing was asked of a reader and the controls are disabled: the page
    // ends quiet.
    m_setStatus(connected && failure ? failureLine(*failure) : std::string());
}

void KeypadPage::ts_SetKeypadShow()
{
    m_guard([this] {
        const bool connected = m_link.hasPort();
        finish(m_keypad.readAll(), connected);
    });
}

void KeypadPage::readAgain()
{
    if (!m_keypad.running())
        ts_SetKeypadShow();
}

void KeypadPage::Button1Click()
{
    if (m_keypad.running())
        return;
    const bool connected = m_link.hasPort();
    const KeypadSettings defaults = KeypadSettings::defaults();
    for (KeypadSetting setting : kSettingOrder) {
        show(setting, defaults);
        markRead(setting, true);
    }
    finish(m_keypad.restoreDefaults(), connected);
}

} // namespace qn480
