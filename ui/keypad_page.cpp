// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_page.h"

#include "form_widgets.h"
#include "keypad_form.h"
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

using namespace keypad_form;

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
