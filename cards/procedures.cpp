// SPDX-License-Identifier: GPL-3.0-or-later
#include "procedures.h"

#include "card_text.h"
#include "link.h"
#include "reader_commands.h"
#include "status_text.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

namespace {

// The pause before every command and after every pass; it also paces the polling.
constexpr std::chrono::milliseconds kCommandPause{10};

using namespace commands;

constexpr int kAtqaLength = 2;
constexpr std::uint8_t kCascadeBit = 0x04; // in a select answer: the UID goes on a level up
constexpr int kUidBytesPerLevel = 4;
// Single, double and triple size: 4, 7 and 10 UID bytes.
constexpr int kCascadeLevels = 3;
// A discarded exception repeats a cascade level; this keeps a persistent one from holding
// the window in a loop that no flag can end.
constexpr int kMaxCascadeIterations = 2 * kCascadeLevels;
constexpr std::uint8_t kNoStatusText = 0x00; // a status byte the reader has no message for

// Status-line texts of the card pages.
constexpr std::string_view kBlank = " ";
constexpr std::string_view kCarrierOnMessage = " Start 13.56-MHz carrier emission";
constexpr std::string_view kCarrierOffMessage = " Stop 13.56-MHz carrier emission";
constexpr std::string_view kConfigure14443A =
    " Configure registers in the QN480 to serve ISO14443A transaction.";
constexpr std::string_view kFailed14443A = " Initialize 43A Mode Failed!";
constexpr std::string_view kConfigure14443B =
    " Configure registers in the QN480 to serve ISO14443B transaction.";
constexpr std::string_view kFailed14443B = " Initialize 43B Mode Failed!";
constexpr std::string_view kConfigureFelica =
    " Configure registers in the QN480 to serve Felica transaction";
constexpr std::string_view kConfigure15693 =
    " Configure registers in the QN480 to serve ISO15693 transaction";
// The ISO15693 page reports its failure with the FeliCa text too.
constexpr std::string_view kFailedFelica = " Initialize Felica Mode Failed!";

std::string blankThen(std::string_view text)
{
    return std::string(kBlank) + std::string(text);
}

// A byte of the response data; positions the reader did not send read as zero.
std::uint8_t byteAt(const Response &response, int index)
{
    return index < response.DataLength ? response.Data[static_cast<std::size_t>(index)] : 0;
}

std::vector<std::uint8_t> bytesAt(const Response &response, int first, int count)
{
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < count; ++i)
        bytes.push_back(byteAt(response, first + i));
    return bytes;
}

std::span<const std::uint8_t> received(const Response &response)
{
    return std::span(response.Data)
        .first(static_cast<std::size_t>(std::clamp(response.DataLength, 0, kFrameBufferSize)));
}

// " " and the reader's message for `status`; nothing when the message is empty.
bool showStatusText(CardView &view, std::uint8_t status)
{
    const std::string_view text = StatusText(status);
    if (text.empty())
        return false;
    view.setStatus(blankThen(text));
    return true;
}

// One command as every card page sends it: the pause, the progress message if any, the
// transaction and one turn of the window.
Response command(CardSession &session, std::uint8_t group, std::uint8_t code,
                 std::span<const std::uint8_t> data = {}, std::string_view message = {})
{
    session.link.clock().sleep(kCommandPause);
    if (!message.empty())
        session.view.setStatus(std::string(message));
    Reply reply = session.link.transact(group, code, data);
    session.link.processMessages();
    return reply.response;
}

// The run indicator. The Type A pages count the phase down and up; the polling pages flip
// it between 1 and 0. Both agree while the phase stays 0 or 1.
void blinkTypeA(CardSession &session)
{
    int &phase = session.flags.shapeTag;
    const bool yellow = phase >= 1;
    session.view.showIndicator(yellow);
    phase += yellow ? -1 : 1;
}

void blinkPolling(CardSession &session)
{
    int &phase = session.flags.shapeTag;
    const bool yellow = phase == 1;
    session.view.showIndicator(yellow);
    phase = yellow ? 0 : 1;
}

struct RunPlan
{
    int page;
    std::uint8_t group;
    std::string_view configureMessage;
    std::string_view configureFailure;
};

// Configure and carrier on. On failure the message shown there stands after the run.
bool startReader(CardSession &session, const RunPlan &plan, bool &failureStanding)
{
    Response answer = command(session, plan.group, kConfigure, {}, plan.configureMessage);
    if (!answer.succeeded()) {
        if (!showStatusText(session.view, answer.Status))
            session.view.setStatus(std::string(plan.configureFailure));
        failureStanding = true;
        return false;
    }
    answer = command(session, kReaderGroup, kCarrierOn, {}, kCarrierOnMessage);
    if (!answer.succeeded()) {
        failureStanding = showStatusText(session.view, answer.Status);
        return false;
    }
    return true;
}

// Passes until Stop, a page change or closing clears a flag. The flags are looked at only
// between passes, so a pass once begun always completes.
void pollWhileRunning(CardSession &session, const int &running, const std::function<void()> &pass)
{
    try {
        while (session.flags.connectTag == 1 && running == 1) {
            try {
                pass();
            } catch (const std::bad_alloc &) {
                throw; // no memory: polling on would only fail again
            } catch (...) {
                // The rest of the pass is dropped; the next one starts afresh.
            }
            session.link.clock().sleep(kCommandPause);
            session.link.processMessages();
        }
    } catch (const std::bad_alloc &) {
        throw;
    } catch (...) {
        // A failure between passes ends the polling, but the carrier still goes off.
    }
}

// What every card page does around its passes: the control states, the reader set-up,
// the carrier and the end steps.
void runOnCarrier(CardSession &session, const RunPlan &plan, const std::function<void()> &atStart,
                  const std::function<void()> &pass)
{
    int &running = session.flags.readTag.at(static_cast<std::size_t>(plan.page));
    bool failureStanding = false;
    const auto endSteps = [&] {
        if (!failureStanding)
            session.view.setStatus(std::string(kBlank));
        session.view.hideIndicator();
        session.view.endRun(plan.page);
        running = 0;
        session.link.processMessages();
    };

    if (session.flags.connectTag != 1) {
        endSteps();
        return;
    }
    try {
        session.view.beginRun(plan.page);
        running = 1;
        if (atStart)
            atStart();
        session.link.processMessages();
        if (startReader(session, plan, failureStanding)) {
            pollWhileRunning(session, running, pass);
            command(session, kReaderGroup, kCarrierOff, {}, kCarrierOffMessage);
        }
    } catch (...) {
        // Whatever escapes to the window, it must not be left with its port row disabled.
        try {
            endSteps();
        } catch (...) {
        }
        throw;
    }
    endSteps();
}

// ---- ISO14443A and the MIFARE Plus initialization page ----

// What the two Type A pages do differently.
struct TypeAPage
{
    int page;
    CardBox cardTypeBox;
    // ISO14443A page: a pass without a card forgets the card followed and empties the
    // status line, and the next card to answer first clears the boxes. The initialization
    // page marks such a pass in the hint instead and never clears a box.
    bool forgetsLostCard;
};

constexpr TypeAPage kIso14443APage{1, CardBox::CardType14443A, true};
constexpr TypeAPage kMifareInitPage{5, CardBox::MifarePlusInit, false};

class TypeAReader
{
public:
    TypeAReader(CardSession &session, const TypeAPage &page)
        : m_session(session)
        , m_view(session.view)
        , m_page(page)
    {}

    void pass()
    {
        bool shown = false;
        const Response request = command(m_session, kTypeAGroup, kRequest);
        if (request.Status == 1 && request.DataLength == kAtqaLength) {
            if (m_page.forgetsLostCard && m_view.hint().empty())
                clearBoxes();
            m_facts = {request.Data[0], request.Data[1], 0};
            m_lastStatus = request.Status;
            if (runCascade()) {
                showCard();
                shown = true;
                nameCard();
            } else {
                reportLostCard(m_lastStatus);
            }
        } else {
            reportLostCard(request.Status);
        }
        if (shown)
            announce();
        blinkTypeA(m_session);
    }

private:
    void clearBoxes()
    {
        for (CardBox box :
             {CardBox::Uid14443A, CardBox::Sak14443A, CardBox::Atqa14443A, CardBox::CardType14443A})
            m_view.setBoxText(box, {});
    }

    // Anticollision and select, level by level; true when a card was selected.
    bool runCascade()
    {
        m_uid.clear();
        int level = 1;
        for (int iteration = 0; level <= kCascadeLevels && iteration < kMaxCascadeIterations;
             ++iteration) {
            try {
                const auto levelByte = static_cast<std::uint8_t>(level);
                const std::array<std::uint8_t, 2> anticollision{levelByte, 0x00};
                Response answer = command(m_session, kTypeAGroup, kAnticollision, anticollision);
                m_lastStatus = answer.Status;
                if (answer.Status != 1 || answer.DataLength < 1)
                    break;
                // A level repeated after a dropped exception replaces its bytes.
                m_uid.resize(static_cast<std::size_t>((level - 1) * kUidBytesPerLevel));
                m_selectData[0] = levelByte;
                for (int i = 0; i < kUidBytesPerLevel; ++i) {
                    m_selectData[static_cast<std::size_t>(i) + 1] = byteAt(answer, i);
                    m_uid.push_back(byteAt(answer, i));
                }
                answer = command(m_session, kTypeAGroup, kSelect, m_selectData);
                m_lastStatus = answer.Status;
                if (answer.Status != 1 || answer.DataLength < 1)
                    break;
                if ((answer.Data[0] & kCascadeBit) == 0) {
                    m_facts.sak = answer.Data[0];
                    return true;
                }
                ++level;
                m_session.link.clock().sleep(kCommandPause);
                m_session.link.processMessages();
            } catch (const std::bad_alloc &) {
                throw;
            } catch (...) {
                // Dropped; the cascade goes on with the level it has reached.
            }
        }
        // A card that asks for a level past the last one selected nothing; the reader's
        // success of its last select must not read as a card found.
        if (level > kCascadeLevels)
            m_lastStatus = kNoStatusText;
        return false;
    }

    void showCard()
    {
        m_view.setBoxText(CardBox::Uid14443A, uidText(m_uid));
        m_view.setBoxText(CardBox::Sak14443A, hexByte(m_facts.sak));
        m_view.setBoxText(CardBox::Atqa14443A, hexByte(m_facts.atqa0));
    }

    void nameCard()
    {
        const Response ats = command(m_session, kTypeAGroup, kAnswerToSelect, m_selectData);
        std::string type;
        if (ats.succeeded()) {
            if (const auto variant = plusVariantFromAts(received(ats)))
                m_plusVariant = *variant;
            bool probeSucceeded = false;
            if (needsLevelProbe(m_facts)) {
                probeSucceeded =
                    command(m_session, kTypeAGroup, kLevelProbe, kLevelProbeData).succeeded();
            }
            type = cardTypeWithAts(m_facts, m_plusVariant, probeSucceeded);
        } else {
            type = cardTypeWithoutAts(m_facts);
        }
        m_view.setBoxText(m_page.cardTypeBox, type);
    }

    void reportLostCard(std::uint8_t status)
    {
        if (m_page.forgetsLostCard) {
            m_view.setHint({});
            m_view.setStatus({});
            showStatusText(m_view, status);
        } else {
            // Neither mark can equal a UID, so the next card shown is announced again.
            m_view.setHint(std::string(kBlank));
            if (showStatusText(m_view, status))
                m_view.setHint(m_view.status());
        }
    }

    void announce()
    {
        const std::string uid = m_view.boxText(CardBox::Uid14443A);
        if (uid != m_view.hint()) {
            m_view.setStatus(blankThen(uid));
            m_view.setHint(uid);
        }
    }

    CardSession &m_session;
    CardView &m_view;
    const TypeAPage &m_page;
    // Kept across the passes of a run: a Plus card without the marker takes the letter of
    // the last one that had it.
    std::uint8_t m_plusVariant = kPlusVariantNone;
    TypeAFacts m_facts;
    std::vector<std::uint8_t> m_uid;
    std::array<std::uint8_t, 5> m_selectData{}; // level and the four UID bytes of the last select
    std::uint8_t m_lastStatus = 0;              // of the last command sent in the pass
};

void runTypeA(CardSession &session, const TypeAPage &page)
{
    TypeAReader reader(session, page);
    runOnCarrier(
        session, {page.page, kTypeAGroup, kConfigure14443A, kFailed14443A},
        [&] {
            session.view.setHint({});
            session.view.setStatus(std::string(kBlank));
        },
        [&] { reader.pass(); });
}

// ---- ISO14443B, FeliCa and ISO15693: one polling loop, one description each ----

struct AirInterface
{
    int page;
    std::uint8_t group;
    std::string_view configureMessage;
    std::string_view configureFailure;
    std::span<const std::uint8_t> pollData;
    // A card answers with Status 1 and a data length in this range.
    std::int32_t minLength;
    std::int32_t maxLength;
    void (*show)(const Response &card, CardView &view);
};

void showTypeB(const Response &card, CardView &view)
{
    view.setBoxText(CardBox::BPupi, spacedHex(bytesAt(card, 0, 4)));
    view.setBoxText(CardBox::BAppData, spacedHex(bytesAt(card, 4, 4)));
    view.setBoxText(CardBox::BInfo, spacedHex(bytesAt(card, 8, 3)));
    view.setStatus(blankThen(view.boxText(CardBox::BPupi)));
}

void showFelica(const Response &card, CardView &view)
{
    // Data byte 2 ends the identifier, which starts at byte 3; 0 means nothing to show.
    const int end = byteAt(card, 2);
    if (end == 0)
        return;
    view.setBoxText(CardBox::FelicaSlot, spacedHex(bytesAt(card, 0, 1)));
    view.setBoxText(CardBox::FelicaSubResp, spacedHex(bytesAt(card, 1, 1)));
    view.setBoxText(CardBox::FelicaUid, spacedHex(bytesAt(card, 3, std::max(end - 3, 0))));
    view.setStatus(blankThen(view.boxText(CardBox::FelicaUid)));
}

void showIso15693(const Response &card, CardView &view)
{
    view.setBoxText(CardBox::Iso15693Dsfid, spacedHex(bytesAt(card, 0, 1)));
    view.setBoxText(CardBox::Iso15693Uid, spacedHex(bytesAt(card, 1, 8)));
    view.setStatus(blankThen(view.boxText(CardBox::Iso15693Uid)));
}

constexpr std::array<std::uint8_t, 2> kZeroPollData{0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kFelicaPollData{0xFF, 0xFF, 0x00, 0x00};
constexpr std::int32_t kAnyLength = std::numeric_limits<std::int32_t>::max();

const AirInterface kIso14443B{2,  0x0B, kConfigure14443B, kFailed14443B, kZeroPollData,
                              11, 11,   showTypeB};
const AirInterface kFelica{3, 0x0C,       kConfigureFelica, kFailedFelica, kFelicaPollData,
                           1, kAnyLength, showFelica};
const AirInterface kIso15693{4, 0x0D,       kConfigure15693, kFailedFelica, kZeroPollData,
                             1, kAnyLength, showIso15693};

void pollCycle(CardSession &session, const AirInterface &air)
{
    const Response answer = command(session, air.group, kPoll, air.pollData);
    if (answer.Status == 1 && answer.DataLength >= air.minLength &&
        answer.DataLength <= air.maxLength)
        air.show(answer, session.view);
    else
        showStatusText(session.view, answer.Status);
    blinkPolling(session);
}

void runPolling(CardSession &session, const AirInterface &air)
{
    runOnCarrier(session, {air.page, air.group, air.configureMessage, air.configureFailure}, {},
                 [&] { pollCycle(session, air); });
}

} // namespace

void readIso14443A(CardSession &session)
{
    runTypeA(session, kIso14443APage);
}

void readIso14443B(CardSession &session)
{
    runPolling(session, kIso14443B);
}

void readFelica(CardSession &session)
{
    runPolling(session, kFelica);
}

void readIso15693(CardSession &session)
{
    runPolling(session, kIso15693);
}

void initializeMifare(CardSession &session)
{
    runTypeA(session, kMifareInitPage);
}

} // namespace qn480
