// SPDX-License-Identifier: GPL-3.0-or-later
// The pass period of each air interface's polling loop against qn480-sim's reader over a
// pty, every response paced at 115200 baud, as a ratio to its floor: the loop's fixed
// sleeps plus the wire time of its transactions. Target: at most 1.05.
//
//   qn480_bench_pass_period [PASSES] [--events DIR]   (default 200 per interface)
//
// Prints one line per interface: name, median period, floor, ratio, passes. With --events,
// every pass also hands an event to a card log in DIR and queues an action (`true`), the
// worst case of a card arriving or leaving on each pass; those lines say "pass_period_events".

#include "actions.h"
#include "card_log.h"
#include "event_record.h"
#include "faults.h"
#include "link.h"
#include "procedures.h"
#include "reader_model.h"
#include "serial_port.h"
#include "sim_reader.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace qn480;
using Millis = std::chrono::duration<double, std::milli>;

constexpr int kDefaultPasses = 200;
constexpr int kWarmUpPasses = 5;
constexpr auto kCommandPause = std::chrono::milliseconds(10);

struct PolledAir
{
    const char *name;
    CardProcedure procedure;
    // The sleeps of one pass: one before each command and one after the pass. The Type A
    // pass of a single-size UID card without an answer to select sends four commands.
    int sleeps;
};

constexpr PolledAir kInterfaces[] = {
    {"ISO14443A", CardProcedure::Iso14443A, 5},
    {"ISO14443B", CardProcedure::Iso14443B, 2},
    {"FeliCa", CardProcedure::Felica, 2},
    {"ISO15693", CardProcedure::Iso15693, 2},
};

// Marks the end of each pass and counts the bytes that went over the line in it.
class PassClock final : public CardObserver
{
public:
    PassClock(StopToken &stop, int passes)
        : m_stop(stop)
        , m_passes(passes)
    {}

    void passEnded(const PassOutcome &outcome) override
    {
        if (onPass)
            onPass(outcome);
        ends.push_back(std::chrono::steady_clock::now());
        wireBytes.push_back(m_bytes);
        m_bytes = 0;
        if (static_cast<int>(ends.size()) >= m_passes)
            m_stop.requestStop();
    }

    void countBytes(std::size_t n) { m_bytes += n; }

    std::vector<std::chrono::steady_clock::time_point> ends;
    std::vector<std::size_t> wireBytes;
    std::function<void(const PassOutcome &)> onPass;

private:
    StopToken &m_stop;
    int m_passes;
    std::size_t m_bytes = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// What a poll with --log and --on-present does with each event, given one on every pass.
class EventLoad
{
public:
    explicit EventLoad(const std::filesystem::path &dir)
        : m_log(dir / "cards.jsonl", [](const CardLogStatus &) {})
        , m_actions({.onPresent = "true"}, [](const ActionOutcome &) {})
    {}
    void pass(const PassOutcome &outcome)
    {
        TypeACard placeholder;
        placeholder.uid = {1, 2, 3, 4};
        const Card card = outcome.card ? *outcome.card : Card(placeholder);
        const EventRecord record = m_sequence.next({PresenceKind::Present, card});
        m_log.append(record);
        m_actions.post(record);
    }

private:
    EventSequence m_sequence;
    CardLogWriter m_log;
    ActionRunner m_actions;
};

bool measure(const PolledAir &air, int passes, const std::optional<std::filesystem::path> &events)
{
    soak::SimReader reader({.pace = 1.0}); // one card of each interface

    Link link;
    StopToken stop;
    PassClock view(stop, passes + kWarmUpPasses + 1);
    std::unique_ptr<EventLoad> load;
    if (events) {
        load = std::make_unique<EventLoad>(*events);
        view.onPass = [&](const PassOutcome &outcome) {
            load->pass(outcome);
        };
    }
    link.setTrace([&](TraceDirection, std::span<const std::uint8_t> frame) {
        view.countBytes(frame.size());
    });
    OpenFailure failure;
    bool ok = OpenPort(link, reader.ports(), reader.kComNumber, kReaderSettings, &failure);
    if (ok) {
        runCardProcedure(air.procedure, link, stop, view);
        ClosePort(link);
    } else {
        std::fprintf(stderr, "cannot open the pty: %s\n", failure.reason.c_str());
    }
    if (!ok)
        return false;

    // A period runs from the end of one pass to the end of the next: the closing sleep of
    // the one and the commands of the other, whose bytes were counted at its end.
    std::vector<double> periods;
    std::vector<double> floors;
    for (std::size_t i = kWarmUpPasses + 1; i < view.ends.size(); ++i) {
        periods.push_back(Millis(view.ends[i] - view.ends[i - 1]).count());
        floors.push_back(Millis(kCommandPause * air.sleeps +
                                sim::kByteTime * static_cast<long>(view.wireBytes[i]))
                             .count());
    }
    const double period = median(periods);
    const double floor = median(floors);
    std::printf("%s %s median_ms %.3f floor_ms %.3f ratio %.4f passes %zu\n",
                events ? "pass_period_events" : "pass_period", air.name, period, floor,
                period / floor, periods.size());

    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int passes = kDefaultPasses;
    std::optional<std::filesystem::path> events;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--events") == 0 && i + 1 < argc)
            events = argv[++i];
        else
            passes = std::max(std::atoi(argv[i]), 1);
    }
    bool ok = true;
    for (const PolledAir &air : kInterfaces)
        ok = measure(air, passes, events) && ok;
    return ok ? 0 : 1;
}
