// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <string>

namespace qn480 {

class Link;

// The Tag values of the window that the procedures share: 1 means connected or running.
struct RunFlags
{
    int connectTag = 0;           // btn_Connect.Tag
    std::array<int, 6> readTag{}; // btn_Read01.Tag .. btn_Read05.Tag at [1] .. [5]
    int shapeTag = 0;             // shape_run.Tag, the indicator's colour phase
};

// The output boxes the card pages have.
enum class CardBox {
    Uid14443A,      // edt_14443A_UID
    Atqa14443A,     // edt_14443A_ATQA
    Sak14443A,      // edt_14443A_SAK
    CardType14443A, // edt_14443A_CardType
    MifarePlusInit, // edt_MifarePlusInit
    BPupi,          // edt_ISO14443B_BPUPI
    BAppData,       // edt_ISO14443B_AppData
    BInfo,          // edt_ISO14443B_Info
    FelicaSlot,     // edt_Felica_Slot
    FelicaSubResp,  // edt_Felica_SubResp
    FelicaUid,      // edt_Felica_UID
    Iso15693Dsfid,  // edt_ISO15693_DSFID
    Iso15693Uid,    // edt_ISO15693_UID
};

// What a card procedure sees of the window. Texts are UTF-8.
class CardView
{
public:
    virtual ~CardView() = default;

    // Status-bar panel 0, every blank kept.
    virtual void setStatus(const std::string &text) = 0;
    virtual std::string status() const = 0;
    // sbMain.Hint: the UID last announced.
    virtual void setHint(const std::string &text) = 0;
    virtual std::string hint() const = 0;

    virtual void setBoxText(CardBox box, const std::string &text) = 0;
    virtual std::string boxText(CardBox box) const = 0;

    // shape_run: shown in yellow or in the window background colour, or hidden.
    virtual void showIndicator(bool yellow) = 0;
    virtual void hideIndicator() = 0;

    // Control states of a run on page 1 to 5. Begin: pnlCounect disabled, the page's Stop
    // enabled and Read disabled. End: pnlCounect and Read enabled, Stop disabled.
    virtual void beginRun(int page) = 0;
    virtual void endRun(int page) = 0;
};

// Everything a procedure works with; the window owns all three.
struct CardSession
{
    Link &link;
    CardView &view;
    RunFlags &flags;
};

} // namespace qn480
