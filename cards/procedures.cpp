// SPDX-License-Identifier: GPL-3.0-or-later
#include "procedures.h"

#include "card_text.h"
#include "link.h"
#include "reader_commands.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <span>
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
// the caller in a loop that no stop request can end.
constexpr int kMaxCascadeIterations = 2 * kCascadeLevels;
constexpr std::uint8_t kNoStatusText = 0x00; // a status byte the reader has no message for

// A byte of the response data; positions the reader did not send read as zero.
std::uint8_t byteAt(const Response &response, int index)
{
    return index < response.DataLength ? response.Data[static_cast<std::size_t>(index)] : 0;
}

Bytes bytesAt(const Response &response, int first, int count)
{
    Bytes bytes;
    for (int i = 0; i < count; ++i)
        bytes.push_back(byteAt(response, first + i));
    return bytes;
}

std::span<const std::uint8_t> received(const Response &response)
{
    return std::span(response.Data)
        .first(static_cast<std::size_t>(std::clamp(response.DataLength, 0, kFrameBufferSize)));
}

struct Run
{
    Link &link;
    const StopToken &stop;
    CardObserver &observer;
};

// One command as every card run sends it: the pause, the transaction and one turn of the
// caller's event processing, told to the observer before and after.
Response command(Run &run, std::uint8_t group, std::uint8_t code,
                 std::span<const std::uint8_t> data = {})
{
    run.link.clock().sleep(kCommandPause);
    const CardStep step{group, code};
    run.observer.stepStarting(step);
    Reply reply = run.link.transact(group, code, data);
    run.link.processMessages();
    run.observer.stepDone({step, reply.result, reply.response.Status, reply.response.DataLength});
    return reply.response;
}

// Configure and carrier on; the refusal that ends the run otherwise.
std::optional<RunOutcome> startReader(Run &run, std::uint8_t group)
{
    Response answer = command(run, group, kConfigure);
    if (!answer.succeeded())
        return RunOutcome{RunEnd::ConfigureRefused, answer.Status};
    answer = command(run, kReaderGroup, kCarrierOn);
    if (!answer.succeeded())
        return RunOutcome{RunEnd::CarrierRefused, answer.Status};
    return std::nullopt;
}

// Passes until the token asks to stop. It is looked at only between passes, so a pass
// once begun always completes.
void pollWhileRunning(Run &run, const std::function<void()> &pass)
{
    try {
        while (!run.stop.stopRequested()) {
            try {
                pass();
            } catch (const std::bad_alloc &) {
                throw; // no memory: polling on would only fail again
            } catch (...) {
                // The rest of the pass is dropped; the next one starts afresh.
            }
            run.link.clock().sleep(kCommandPause);
            run.link.processMessages();
        }
    } catch (const std::bad_alloc &) {
        throw;
    } catch (...) {
        // A failure between passes ends the polling, but the carrier still goes off.
    }
}

// What every card procedure does around its passes: the reader set-up, the carrier and
// the end.
void runOnCarrier(Run &run, std::uint8_t group, const std::function<void()> &pass)
{
    RunOutcome outcome{RunEnd::Stopped};
    const auto end = [&] {
        run.observer.runEnded(outcome);
        run.link.processMessages();
    };

    if (run.stop.stopRequested()) {
        outcome.end = RunEnd::NotConnected;
        end();
        return;
    }
    try {
        run.observer.runStarted();
        run.link.processMessages();
        if (const auto refused = startReader(run, group)) {
            outcome = *refused;
        } else {
            pollWhileRunning(run, pass);
            command(run, kReaderGroup, kCarrierOff);
        }
    } catch (...) {
        // Whatever escapes to the caller, its page must not be left running.
        outcome = {RunEnd::Aborted};
        try {
            end();
        } catch (...) {
        }
        throw;
    }
    end();
}

// ---- ISO14443A and the MIFARE Plus initialization page ----

class TypeAReader
{
public:
    explicit TypeAReader(Run &run)
        : m_run(run)
    {}

    void pass()
    {
        const Response request = command(m_run, kTypeAGroup, kRequest);
        PassOutcome outcome{std::nullopt, request.Status};
        if (request.Status == 1 && request.DataLength == kAtqaLength) {
            m_card = TypeACard{};
            m_card.atqa = {request.Data[0], request.Data[1]};
            m_lastStatus = request.Status;
            if (runCascade()) {
                m_run.observer.cardSelected(m_card);
                nameCard();
                outcome.card = m_card;
            } else {
                outcome.status = m_lastStatus;
            }
        }
        m_run.observer.passEnded(outcome);
    }

private:
    // Anticollision and select, level by level; true when a card was selected.
    bool runCascade()
    {
        Bytes collected; // four bytes a level, the cascade tags among them
        int level = 1;
        for (int iteration = 0; level <= kCascadeLevels && iteration < kMaxCascadeIterations;
             ++iteration) {
            try {
                const auto levelByte = static_cast<std::uint8_t>(level);
                const std::array<std::uint8_t, 2> anticollision{levelByte, 0x00};
                Response answer = command(m_run, kTypeAGroup, kAnticollision, anticollision);
                m_lastStatus = answer.Status;
                if (answer.Status != 1 || answer.DataLength < 1)
                    break;
                // A level repeated after a dropped exception replaces its bytes.
                collected.resize(static_cast<std::size_t>((level - 1) * kUidBytesPerLevel));
                m_selectData[0] = levelByte;
                for (int i = 0; i < kUidBytesPerLevel; ++i) {
                    m_selectData[static_cast<std::size_t>(i) + 1] = byteAt(answer, i);
                    collected.push_back(byteAt(answer, i));
                }
                answer = command(m_run, kTypeAGroup, kSelect, m_selectData);
                m_lastStatus = answer.Status;
                if (answer.Status != 1 || answer.DataLength < 1)
                    break;
                if ((answer.Data[0] & kCascadeBit) == 0) {
                    m_card.sak = answer.Data[0];
                    m_card.uid = withoutCascadeTags(collected);
                    return true;
                }
                ++level;
                m_run.link.clock().sleep(kCommandPause);
                m_run.link.processMessages();
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

    // Every level but the last begins with the cascade tag.
    static Bytes withoutCascadeTags(const Bytes &collected)
    {
        Bytes uid;
        for (std::size_t i = 0; i < collected.size(); ++i) {
            const bool lastLevel = i + kUidBytesPerLevel >= collected.size();
            if (lastLevel || i % kUidBytesPerLevel != 0)
                uid.push_back(collected[i]);
        }
        return uid;
    }

    void nameCard()
    {
        const Response ats = command(m_run, kTypeAGroup, kAnswerToSelect, m_selectData);
        const TypeAFacts facts{m_card.atqa[0], m_card.atqa[1], m_card.sak};
        if (ats.succeeded()) {
            const auto answer = received(ats);
            m_card.ats = Bytes(answer.begin(), answer.end());
            if (const auto variant = plusVariantFromAts(answer))
                m_plusVariant = *variant;
            if (needsLevelProbe(facts)) {
                m_card.probeSucceeded =
                    command(m_run, kTypeAGroup, kLevelProbe, kLevelProbeData).succeeded();
            }
            m_card.type =
                cardTypeWithAts(facts, m_plusVariant, m_card.probeSucceeded.value_or(false));
        } else {
            m_card.type = cardTypeWithoutAts(facts);
        }
    }

    Run &m_run;
    // Kept across the passes of a run: a Plus card without the marker takes the letter of
    // the last one that had it.
    std::uint8_t m_plusVariant = kPlusVariantNone;
    TypeACard m_card;
    std::array<std::uint8_t, 5> m_selectData{}; // level and the four UID bytes of the last select
    std::uint8_t m_lastStatus = 0;              // of the last command sent in the pass
};

// ---- ISO14443B, FeliCa and ISO15693: one polling loop, one description each ----

struct PolledInterface
{
    std::uint8_t group;
    std::span<const std::uint8_t> pollData;
    // A card answers with Status 1 and a data length in this range.
    std::int32_t minLength;
    std::int32_t maxLength;
    std::optional<Card> (*card)(const Response &answer);
};

std::optional<Card> typeBCard(const Response &answer)
{
    return TypeBCard{bytesAt(answer, 0, 4), bytesAt(answer, 4, 4), bytesAt(answer, 8, 3)};
}

std::optional<Card> felicaCard(const Response &answer)
{
    // Data byte 2 ends the identifier, which starts at byte 3; 0 means nothing to show.
    // The manufacturer parameter follows the identifier when the reader sends it whole.
    constexpr int kIdStart = 3;
    constexpr int kPmmLength = 8;
    const int end = byteAt(answer, 2);
    if (end == 0)
        return std::nullopt;
    FelicaCard card;
    card.slot = byteAt(answer, 0);
    card.subResponse = byteAt(answer, 1);
    card.idm = bytesAt(answer, kIdStart, std::max(end - kIdStart, 0));
    if (end >= kIdStart && answer.DataLength >= end + kPmmLength)
        card.pmm = bytesAt(answer, end, kPmmLength);
    return card;
}

std::optional<Card> iso15693Card(const Response &answer)
{
    return Iso15693Card{byteAt(answer, 0), bytesAt(answer, 1, 8)};
}

constexpr std::array<std::uint8_t, 2> kZeroPollData{0x00, 0x00};
constexpr std::array<std::uint8_t, 4> kFelicaPollData{0xFF, 0xFF, 0x00, 0x00};
constexpr std::int32_t kAnyLength = std::numeric_limits<std::int32_t>::max();

const PolledInterface kIso14443B{0x0B, kZeroPollData, 11, 11, typeBCard};
const PolledInterface kFelica{0x0C, kFelicaPollData, 1, kAnyLength, felicaCard};
const PolledInterface kIso15693{0x0D, kZeroPollData, 1, kAnyLength, iso15693Card};

void pollCycle(Run &run, const PolledInterface &air)
{
    const Response answer = command(run, air.group, kPoll, air.pollData);
    PassOutcome outcome{std::nullopt, answer.Status};
    if (answer.Status == 1 && answer.DataLength >= air.minLength &&
        answer.DataLength <= air.maxLength) {
        outcome.card = air.card(answer);
        if (!outcome.card)
            outcome.status = kNoStatusText; // an answer to leave unshown
    }
    run.observer.passEnded(outcome);
}

} // namespace

CardProcedure procedureFor(AirInterface air)
{
    switch (air) {
    case AirInterface::Iso14443B:
        return CardProcedure::Iso14443B;
    case AirInterface::Felica:
        return CardProcedure::Felica;
    case AirInterface::Iso15693:
        return CardProcedure::Iso15693;
    case AirInterface::Iso14443A:
        break;
    }
    return CardProcedure::Iso14443A;
}

void runCardProcedure(CardProcedure procedure, Link &link, const StopToken &stop,
                      CardObserver &observer)
{
    Run run{link, stop, observer};
    const PolledInterface *air = nullptr;
    switch (procedure) {
    case CardProcedure::Iso14443A:
    case CardProcedure::MifareInit: {
        TypeAReader reader(run);
        runOnCarrier(run, kTypeAGroup, [&] { reader.pass(); });
        return;
    }
    case CardProcedure::Iso14443B:
        air = &kIso14443B;
        break;
    case CardProcedure::Felica:
        air = &kFelica;
        break;
    case CardProcedure::Iso15693:
        air = &kIso15693;
        break;
    }
    runOnCarrier(run, air->group, [&] { pollCycle(run, *air); });
}

} // namespace qn480
