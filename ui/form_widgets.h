// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The small pieces the window's parts build their controls from.
#include <QFrame>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

namespace qn480 {

// Window-wide keys; none of them changes a caption.
inline constexpr QKeyCombination kReadKey{Qt::Key_F5};
inline constexpr QKeyCombination kStopKey{Qt::Key_Escape};
inline constexpr QKeyCombination kCopyResultsKey{Qt::CTRL | Qt::SHIFT | Qt::Key_C};
inline constexpr QKeyCombination kCardLogKey{Qt::CTRL | Qt::Key_L};

// A raised panel of the form: pnlCounect, Panel1, Panel2.
inline QFrame *makePanel(QWidget *parent, const QString &name)
{
    auto *panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    return panel;
}

inline QString twoDigits(int n)
{
    return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0'));
}

// Outside the focus chain, like every control of the form whose tab stop is off.
template <typename W> W *noTabStop(W *widget)
{
    widget->setFocusPolicy(Qt::NoFocus);
    return widget;
}

// Out of the Tab chain too, but a click gives it the keys: arrows in the port box, Ctrl+C
// and Ctrl+A in a result box.
template <typename W> W *clickFocus(W *widget)
{
    widget->setFocusPolicy(Qt::ClickFocus);
    return widget;
}

// What a result box shows; kept on the box, which takes no other text.
inline constexpr const char *kResultTextProperty = "qn480ResultText";

// A box the runs write and nobody else: read-only to the keyboard, and a screen reader's
// edit (AT-SPI's SetTextContents, which does not ask whether the box is read-only) is
// undone at once, so that the box, its tooltip and its menu never disagree.
inline QLineEdit *makeResultBox(QWidget *parent)
{
    auto *box = clickFocus(new QLineEdit(parent));
    box->setReadOnly(true);
    QObject::connect(box, &QLineEdit::textChanged, box, [box](const QString &text) {
        const QString shown = box->property(kResultTextProperty).toString();
        if (text != shown)
            box->setText(shown);
    });
    return box;
}

// The same card pass after pass leaves its boxes alone: a box set anew is drawn anew, and
// the drawing went into every pass's period.
inline void showResult(QLineEdit *box, const QString &text)
{
    if (box->text() == text && box->property(kResultTextProperty).toString() == text)
        return;
    box->setProperty(kResultTextProperty, text);
    box->setText(text);
}

// Screen readers announce the caption of a frame; a plain top-level widget reaches them as
// a filler without one. For the window and the card log.
void announceAsFrame(QWidget *window);

inline QString keyText(QKeyCombination key)
{
    return QKeySequence(key).toString(QKeySequence::NativeText);
}

inline QPushButton *makeButton(QWidget *parent, const QString &name, const QString &caption,
                               const QRect &rect)
{
    auto *button = noTabStop(new QPushButton(caption, parent));
    button->setObjectName(name);
    button->setGeometry(rect);
    return button;
}

inline QLabel *makeFieldLabel(QWidget *parent, const QString &caption, const QRect &rect,
                              QWidget *buddy)
{
    auto *label = new QLabel(caption, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(rect);
    label->setBuddy(buddy);
    return label;
}

} // namespace qn480
