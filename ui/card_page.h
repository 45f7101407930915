// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "card_run.h"
#include "presence.h"
#include "procedures.h"

#include <QObject>

#include <array>
#include <optional>
#include <string_view>

class QLineEdit;
class QMenu;
class QPushButton;
class QWidget;

namespace qn480 {

class Link;
class StatusLine;

// What a card page's box shows.
enum class CardValue {
    None, // a box no run writes
    TypeAUid,
    TypeAAtqa,
    TypeASak,
    TypeAType,
    Pupi,
    AppData,
    ProtocolInfo,
    FelicaSlot,
    FelicaSubResponse,
    FelicaIdm,
    Dsfid,
    VicinityUid,
};

struct CardField
{
    const char *label = nullptr; // nullptr: no field
    const char *edit = nullptr;
    CardValue value = CardValue::None;
};

// One card page: its controls, its procedure and the interface its run's texts name.
struct CardPageDescriptor
{
    int number; // 1 to 5, as in btn_Read01 .. btn_Read05
    const char *name;
    const char *caption;
    const char *readCaption;
    std::array<CardField, 4> fields;
    CardProcedure procedure;
    AirInterface air;
};

extern const std::array<CardPageDescriptor, 5> kCardPages;

// A card page: builds its sheet, runs its procedure when Read is pressed and renders what
// the run reports into its boxes and the status line. It knows nothing of the window: it is
// given the link, the status line, the connection's stop token and the clock that times a
// card's absence, and tells the window when a run begins and ends and when a card comes and
// goes.
class CardPage : public QObject, private CardObserver
{
    Q_OBJECT

public:
    CardPage(const CardPageDescriptor &descriptor, Link &link, StatusLine &status,
             const StopToken &connection, const Clock &clock, QObject *parent = nullptr);

    QWidget *sheet() const { return m_sheet; }
    QPushButton *readButton() const { return m_read; }
    QPushButton *stopButton() const { return m_stop; }
    // The MIFARE page shows its card's UID, ATQA and SAK in the ISO14443A page's boxes.
    void showTypeAIn(const CardPage &page) { m_typeABoxes = &page; }

    // The Read button's handler: the run, until Stop, a page change, a disconnection or
    // closing the window.
    void read();
    // The Stop button's handler; a page change calls it too, also while it is disabled.
    void stop() { m_stopToken.requestStop(); }
    // Read enabled or not, and any run asked to end.
    void setConnected(bool connected);
    bool running() const { return !m_stopToken.stopRequested(); }
    bool idle() const { return m_runs == 0; }
    // A card still on the reader leaves with the runs (Stop, a page change, a disconnection,
    // an unplugged reader, closing the window), so that no log shows it present for ever.
    void endPresence();
    // A result box's context menu: its own entries, "Copy UID as" on a UID box that shows a
    // card, and "Card log…". The caller owns it.
    QMenu *contextMenu(QLineEdit *box);

signals:
    void runBegan();
    void runFinished();
    // A card came or went, after the debounce, during one of this page's runs.
    void presenceChanged(const qn480::PresenceEvent &event);
    // "Card log…" was chosen in a result box's menu.
    void cardLogRequested();

private:
    void runStarted() override;
    void stepStarting(CardStep step) override;
    void stepDone(const StepOutcome &outcome) override;
    void cardSelected(const TypeACard &card) override;
    void passEnded(const PassOutcome &outcome) override;
    void runEnded(const RunOutcome &outcome) override;

    bool isTypeA() const;
    QLineEdit *box(CardValue value) const;
    void setBox(CardValue value, const QString &text);
    // A UID box's text with the bytes it was made of, for its tooltip and menu.
    void setUidBox(CardValue value, const QString &text, const Bytes &uid);
    QString boxText(CardValue value) const;
    void setStatus(std::string_view text);
    // A run's message on the status line, after its leading blank.
    void showMessage(std::string_view message);
    bool showStatusText(std::uint8_t status);
    void showCard(const Card &card);
    void showNoCard(std::uint8_t status);

    const CardPageDescriptor &m_descriptor;
    Link &m_link;
    StatusLine &m_status;
    const StopToken &m_connection;
    StopToken m_stopToken;
    const Clock &m_clock;
    std::optional<PresenceTracker> m_presence; // while a run of this page goes on
    const CardPage *m_typeABoxes = this;
    QWidget *m_sheet = nullptr;
    QPushButton *m_read = nullptr;
    QPushButton *m_stop = nullptr;
    std::array<QLineEdit *, 4> m_boxes{};
    int m_runs = 0; // runs of this page on the stack; they nest
};

} // namespace qn480
