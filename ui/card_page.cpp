// SPDX-License-Identifier: GPL-3.0-or-later
#include "card_page.h"

#include "card_text.h"
#include "form_widgets.h"
#include "link.h"
#include "reader_commands.h"
#include "run_texts.h"
#include "status_line.h"
#include "status_text.h"
#include "text_util.h"
#include "uid_forms_menu.h"

#include <QAction>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QWidget>

#include <memory>
#include <variant>

namespace qn480 {

namespace {

using namespace commands;

// The status line's leading blank, and the whole line when it has nothing to say.
constexpr std::string_view kBlank = " ";

const QString kResultBoxTip =
    QStringLiteral("Ctrl+C copies the selection; Ctrl+Shift+C copies this page's results as "
                   "one tab-separated line");

// The bytes a UID box shows, in air order, kept on the box itself: the MIFARE page writes
// into the ISO14443A page's boxes.
const char *const kUidBytesProperty = "qn480UidBytes";

bool isUidValue(CardValue value)
{
    return value == CardValue::TypeAUid || value == CardValue::Pupi ||
           value == CardValue::FelicaIdm || value == CardValue::VicinityUid;
}

Bytes uidBytesOf(const QLineEdit *box)
{
    const QByteArray bytes = box->property(kUidBytesProperty).toByteArray();
    return Bytes(bytes.begin(), bytes.end());
}

constexpr int kFieldTops[] = {20, 70, 120, 170};
constexpr int kLabelLeft = 52;
constexpr int kEditLeft = 132;
constexpr QSize kLabelSize{70, 24};
constexpr QSize kEditSize{200, 24};
constexpr QRect kReadRect{380, 16, 160, 80};
constexpr QRect kStopRect{380, 120, 160, 80};

constexpr int kAtqaLength = 2;

// Every byte as two digits and one blank, the trailing blank kept: "1A 2B ".
QString spaced(const Bytes &bytes)
{
    return QString::fromStdString(bytes.empty() ? std::string() : hexText(bytes, " ") + ' ');
}

QString spacedByte(std::uint8_t byte)
{
    return spaced(Bytes{byte});
}

} // namespace

const std::array<CardPageDescriptor, 5> kCardPages{{
    {1,
     "ts_ISO14443A",
     "ISO14443A",
     "Read",
     {{{"UID :", "edt_14443A_UID", CardValue::TypeAUid},
       {"ATQA :", "edt_14443A_ATQA", CardValue::TypeAAtqa},
       {"SAK :", "edt_14443A_SAK", CardValue::TypeASak},
       {"CardType :", "edt_14443A_CardType", CardValue::TypeAType}}},
     CardProcedure::Iso14443A,
     AirInterface::Iso14443A},
    {2,
     "ts_ISO14443B",
     "ISO14443B",
     "Read",
     {{{"UID :", "edt_ISO14443B_BPUPI", CardValue::Pupi},
       {"ATQA :", "edt_ISO14443B_AppData", CardValue::AppData},
       {"SAK :", "edt_ISO14443B_Info", CardValue::ProtocolInfo},
       {}}},
     CardProcedure::Iso14443B,
     AirInterface::Iso14443B},
    {3,
     "ts_Felica",
     "Felica",
     "Read",
     {{{"Slot :", "edt_Felica_Slot", CardValue::FelicaSlot},
       {"Sub Resp :", "edt_Felica_SubResp", CardValue::FelicaSubResponse},
       {"UID :", "edt_Felica_UID", CardValue::FelicaIdm},
       {}}},
     CardProcedure::Felica,
     AirInterface::Felica},
    {4,
     "ts_ISO15693",
     "ISO15693",
     "Read",
     {{{"DSFID :", "edt_ISO15693_DSFID", CardValue::Dsfid},
       {"UID :", "edt_ISO15693_UID", CardValue::VicinityUid},
       {},
       {}}},
     CardProcedure::Iso15693,
     AirInterface::Iso15693},
    {5,
     "ts_MifareInitialization",
     "MifareInitialization",
     "Initialize",
     {{{"Slot :", "Edit5", CardValue::None},
       {"Sub Resp :", "Edit6", CardValue::None},
       {"UID :", "edt_MifarePlusInit", CardValue::TypeAType},
       {}}},
     CardProcedure::MifareInit,
     AirInterface::Iso14443A},
}};

CardPage::CardPage(const CardPageDescriptor &descriptor, Link &link, StatusLine &status,
                   const StopToken &connection, const Clock &clock, QObject *parent)
    : QObject(parent)
    , m_descriptor(descriptor)
    , m_link(link)
    , m_status(status)
    , m_connection(connection)
    , m_stopToken(&connection)
    , m_clock(clock)
{
    m_stopToken.requestStop();
    m_sheet = new QWidget;
    m_sheet->setObjectName(QLatin1String(descriptor.name));

    for (std::size_t i = 0; i < descriptor.fields.size() && descriptor.fields[i].label; ++i) {
        const CardField &field = descriptor.fields[i];
        // Written by the runs only; read-only keeps Copy and Select All in its menu.
        auto *edit = makeResultBox(m_sheet);
        edit->setObjectName(QLatin1String(field.edit));
        edit->setToolTip(kResultBoxTip);
        edit->setGeometry(QRect(QPoint(kEditLeft, kFieldTops[i]), kEditSize));
        edit->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(edit, &QLineEdit::customContextMenuRequested, this, [this, edit](QPoint at) {
            const std::unique_ptr<QMenu> menu(contextMenu(edit));
            menu->exec(edit->mapToGlobal(at));
        });
        makeFieldLabel(m_sheet, QLatin1String(field.label),
                       QRect(QPoint(kLabelLeft, kFieldTops[i]), kLabelSize), edit);
        m_boxes[i] = edit;
    }

    m_read = makeButton(m_sheet, QStringLiteral("btn_Read") + twoDigits(descriptor.number),
                        QLatin1String(descriptor.readCaption), kReadRect);
    m_stop = makeButton(m_sheet, QStringLiteral("btn_Stop") + twoDigits(descriptor.number),
                        QStringLiteral("Stop"), kStopRect);
    m_read->setEnabled(false);
    m_stop->setEnabled(false);
    m_read->setToolTip(QStringLiteral("%1 (%2)").arg(m_read->text(), keyText(kReadKey)));
    m_stop->setToolTip(QStringLiteral("%1 (%2)").arg(m_stop->text(), keyText(kStopKey)));
}

QMenu *CardPage::contextMenu(QLineEdit *box)
{
    QMenu *menu = box->createStandardContextMenu();
    menu->addSeparator();
    if (const Bytes uid = uidBytesOf(box); !uid.empty() && !box->text().isEmpty())
        addCopyUidMenu(menu, uid);
    QAction *log = menu->addAction(QStringLiteral("Card log…"));
    log->setObjectName(QStringLiteral("act_cardLog"));
    log->setShortcut(QKeySequence(kCardLogKey));
    connect(log, &QAction::triggered, this, &CardPage::cardLogRequested);
    return menu;
}

void CardPage::read()
{
    m_stopToken.reset();
    runCardProcedure(m_descriptor.procedure, m_link, m_stopToken, *this);
}

void CardPage::setConnected(bool connected)
{
    m_stopToken.requestStop();
    m_read->setEnabled(connected);
}

bool CardPage::isTypeA() const
{
    return m_descriptor.air == AirInterface::Iso14443A;
}

QLineEdit *CardPage::box(CardValue value) const
{
    const bool borrowed = value == CardValue::TypeAUid || value == CardValue::TypeAAtqa ||
                          value == CardValue::TypeASak;
    const CardPage &owner = borrowed ? *m_typeABoxes : *this;
    for (std::size_t i = 0; i < owner.m_boxes.size(); ++i) {
        if (owner.m_boxes[i] && owner.m_descriptor.fields[i].value == value)
            return owner.m_boxes[i];
    }
    return nullptr;
}

void CardPage::setBox(CardValue value, const QString &text)
{
    setUidBox(value, text, {});
}

void CardPage::setUidBox(CardValue value, const QString &text, const Bytes &uid)
{
    QLineEdit *edit = box(value);
    if (!edit)
        return;
    showResult(edit, text);
    if (!isUidValue(value))
        return;
    const bool shown = !uid.empty() && !text.isEmpty();
    const QByteArray bytes =
        shown ? QByteArray(reinterpret_cast<const char *>(uid.data()), qsizetype(uid.size()))
              : QByteArray();
    // The same card pass after pass: its forms are known already.
    if (edit->property(kUidBytesProperty).toByteArray() == bytes && !edit->toolTip().isEmpty() &&
        (shown || edit->toolTip() == kResultBoxTip))
        return;
    edit->setProperty(kUidBytesProperty, bytes);
    edit->setToolTip(shown ? kResultBoxTip + QStringLiteral("\n\n") + uidFormsToolTip(uid)
                           : kResultBoxTip);
}

QString CardPage::boxText(CardValue value) const
{
    const QLineEdit *edit = box(value);
    return edit ? edit->text() : QString();
}

void CardPage::setStatus(std::string_view text)
{
    m_status.setText(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

void CardPage::showMessage(std::string_view message)
{
    setStatus(std::string(kBlank) + std::string(message));
}

// The reader's message for `status`; nothing when it has none.
bool CardPage::showStatusText(std::uint8_t status)
{
    const std::string_view text = StatusText(status);
    if (text.empty())
        return false;
    showMessage(text);
    return true;
}

void CardPage::runStarted()
{
    if (m_runs++ == 0)
        m_presence.emplace(m_clock);
    emit runBegan();
    m_stop->setEnabled(true);
    m_read->setEnabled(false);
    if (isTypeA()) {
        m_status.setHint({});
        setStatus(kBlank);
    }
}

void CardPage::stepStarting(CardStep step)
{
    if (const std::string_view text = runStepText(m_descriptor.air, step); !text.empty())
        showMessage(text);
}

void CardPage::stepDone(const StepOutcome &outcome)
{
    // The ISO14443A page forgets the card it followed when a pass finds none (the hint is
    // emptied), and the next card to answer first clears the boxes. The initialization page
    // never clears a box.
    const bool answered = outcome.step == CardStep{kTypeAGroup, kRequest} && outcome.status == 1 &&
                          outcome.dataLength == kAtqaLength;
    if (answered && m_descriptor.procedure == CardProcedure::Iso14443A &&
        m_status.hint().isEmpty()) {
        for (CardValue value :
             {CardValue::TypeAUid, CardValue::TypeASak, CardValue::TypeAAtqa, CardValue::TypeAType})
            setBox(value, {});
    }
}

void CardPage::cardSelected(const TypeACard &card)
{
    setUidBox(CardValue::TypeAUid, QString::fromStdString(uidText(card.uid)), card.uid);
    setBox(CardValue::TypeASak, QString::fromStdString(hexByte(card.sak)));
    setBox(CardValue::TypeAAtqa, QString::fromStdString(hexByte(card.atqa.at(0))));
}

void CardPage::passEnded(const PassOutcome &outcome)
{
    if (outcome.card)
        showCard(*outcome.card);
    else
        showNoCard(outcome.status);
    m_status.blink();
    if (m_presence) {
        for (const PresenceEvent &event : m_presence->pass(outcome.card))
            emit presenceChanged(event);
    }
}

void CardPage::showCard(const Card &card)
{
    const auto announce = [this](CardValue value) {
        m_status.setText(QLatin1Char(' ') + boxText(value));
    };
    std::visit(Overloaded{
                   [&](const TypeACard &c) {
                       setBox(CardValue::TypeAType, QString::fromStdString(c.type));
                       const QString uid = boxText(CardValue::TypeAUid);
                       if (uid != m_status.hint()) {
                           announce(CardValue::TypeAUid);
                           m_status.setHint(uid);
                       }
                   },
                   [&](const TypeBCard &c) {
                       setUidBox(CardValue::Pupi, spaced(c.pupi), c.pupi);
                       setBox(CardValue::AppData, spaced(c.appData));
                       setBox(CardValue::ProtocolInfo, spaced(c.protocolInfo));
                       announce(CardValue::Pupi);
                   },
                   [&](const FelicaCard &c) {
                       setBox(CardValue::FelicaSlot, spacedByte(c.slot));
                       setBox(CardValue::FelicaSubResponse, spacedByte(c.subResponse));
                       setUidBox(CardValue::FelicaIdm, spaced(c.idm), c.idm);
                       announce(CardValue::FelicaIdm);
                   },
                   [&](const Iso15693Card &c) {
                       setBox(CardValue::Dsfid, spacedByte(c.dsfid));
                       setUidBox(CardValue::VicinityUid, spaced(c.uid), c.uid);
                       announce(CardValue::VicinityUid);
                   },
               },
               card);
}

void CardPage::showNoCard(std::uint8_t status)
{
    switch (m_descriptor.procedure) {
    case CardProcedure::Iso14443A:
        m_status.setHint({});
        m_status.setText({});
        showStatusText(status);
        break;
    case CardProcedure::MifareInit:
        // Neither mark can equal a UID, so the next card shown is announced again.
        m_status.setHint(QString(kBlank.data()));
        if (showStatusText(status))
            m_status.setHint(m_status.text());
        break;
    default:
        showStatusText(status);
        break;
    }
}

void CardPage::endPresence()
{
    const RemovalCause cause = m_link.deviceLost() ? RemovalCause::Lost : RemovalCause::Stopped;
    if (const auto closing = m_presence ? m_presence->end(cause) : std::nullopt)
        emit presenceChanged(*closing);
}

void CardPage::runEnded(const RunOutcome &outcome)
{
    // A refusal's message stands after the run; otherwise the line is emptied to a blank.
    showMessage(runEndText(m_descriptor.air, outcome));
    m_status.hideIndicator();
    // Runs nest (a page's Read clicked while another page's run waits), so a run's end
    // gives back only what no other run still holds, and no Read comes back once the port
    // has been closed.
    if (m_runs > 0)
        --m_runs;
    emit runFinished();
    if (m_runs == 0) {
        endPresence();
        m_presence.reset();
        m_read->setEnabled(!m_connection.stopRequested());
        m_stop->setEnabled(false);
    }
    m_stopToken.requestStop();
}

} // namespace qn480
