// SPDX-License-Identifier: GPL-3.0-or-later
#include "uid_forms_menu.h"

#include "uid_forms.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QStringList>

namespace qn480 {

QString uidFormsToolTip(std::span<const std::uint8_t> uid)
{
    QStringList lines;
    for (const UidFormValue &form : uidInEveryForm(uid)) {
        const QString name = QString::fromUtf8(uidFormName(form.form).data(),
                                               qsizetype(uidFormName(form.form).size()));
        lines << name + QStringLiteral(": ") +
                     (form.value ? QString::fromStdString(*form.value)
                                 : QStringLiteral("— ") + QString::fromStdString(form.reason));
    }
    return lines.join(QLatin1Char('\n'));
}

QMenu *addCopyUidMenu(QMenu *menu, std::span<const std::uint8_t> uid)
{
    QMenu *copy = menu->addMenu(QObject::tr("Copy UID as"));
    copy->setObjectName(QStringLiteral("mnu_copyUidAs"));
    copy->setToolTipsVisible(true);
    for (const UidFormValue &form : uidInEveryForm(uid)) {
        const std::string_view name = uidFormName(form.form);
        // The item shows what it copies, or why it cannot ("dec10  0077736730").
        const QString shown = QString::fromStdString(form.value ? *form.value : form.reason);
        QString text =
            QString::fromUtf8(name.data(), qsizetype(name.size())) + QStringLiteral("  ") + shown;
        QAction *action = copy->addAction(text.replace(QLatin1Char('&'), QStringLiteral("&&")));
        action->setToolTip(shown);
        if (!form.value) {
            action->setEnabled(false);
            continue;
        }
        const QString value = QString::fromStdString(*form.value);
        QObject::connect(action, &QAction::triggered,
                         [value] { QApplication::clipboard()->setText(value); });
    }
    return copy;
}

} // namespace qn480
