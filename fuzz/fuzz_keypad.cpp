// SPDX-License-Identifier: GPL-3.0-or-later
// The keypad's Gets and Sets, the reading of all six, the defaults and the writes of a
// patch, against a reader whose answers come from the fuzz input, with values the input
// sets first.
//
// Input: operation count, the eight bytes of the settings to send, the mask of the settings
// a patch gives, then per operation its code followed by the reader's answers to its
// requests (fuzzed_reader.h).

#include "checking_views.h"
#include "fuzzed_reader.h"
#include "text_checks.h"

#include "keypad.h"
#include "keypad_settings.h"
#include "link.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

using namespace qn480;
using namespace qn480::fuzz;

constexpr int kMaxOperations = 8;
constexpr int kSettingCount = 6;
// Operation codes: 0-5 Get, 6-11 Set of KeypadSetting 0-5, 12 all six read, 13 defaults,
// 14 a patch written setting by setting, 15 a patch loaded all or nothing.
constexpr int kReadAll = 2 * kSettingCount;
constexpr int kDefaults = kReadAll + 1;
constexpr int kWrite = kDefaults + 1;
constexpr int kLoad = kWrite + 1;

KeypadSettings settingsFromInput(FuzzInput &input)
{
    KeypadSettings s;
    s.mode = input.byte();
    s.types = input.byte();
    s.addType = {input.byte(), input.byte(), input.byte()};
    s.sendTime = input.byte();
    s.scanTime = input.byte();
    s.sameTime = input.byte();
    return s;
}

KeypadPatch patchFromInput(const KeypadSettings &s, std::uint8_t mask)
{
    const auto part = [&](int bit, std::uint8_t value) -> std::optional<std::uint8_t> {
        if ((mask >> bit & 1U) == 0)
            return std::nullopt;
        return value;
    };
    return {part(0, s.mode),           part(1, s.types),
            part(2, s.addType.format), part(3, s.addType.reverse),
            part(4, s.addType.add),    part(5, s.sendTime),
            part(6, s.scanTime),       part(7, s.sameTime)};
}

std::optional<KeypadSetting> setOf(std::uint8_t code)
{
    const auto found = std::find_if(kSettings.begin(), kSettings.end(),
                                    [&](const SettingInfo &i) { return i.setCode == code; });
    if (found == kSettings.end())
        return std::nullopt;
    return found->setting;
}

bool contains(const std::vector<KeypadSetting> &list, KeypadSetting setting)
{
    return std::find(list.begin(), list.end(), setting) != list.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input({data, size});
    const int operations = 1 + input.byte() % kMaxOperations;
    const KeypadSettings given = settingsFromInput(input);
    const KeypadPatch patch = patchFromInput(given, input.byte());

    testing::FakeClock clock;
    // Every operation ends by itself: no request limit.
    FuzzedReader reader(clock, input, std::numeric_limits<int>::max());
    // What the Sets of the running operation must carry; nothing: any bytes of their length.
    std::optional<KeypadSettings> expected;
    reader.onEachRequest([&](const testing::Bytes &request) {
        if (request.size() < 8 || request[5] != 0x00)
            return;
        const auto setting = setOf(request[6]);
        if (!setting)
            return;
        const auto sent = std::span(request).subspan(7, request.size() - 8);
        const auto length = static_cast<std::size_t>(settingInfo(*setting).length);
        expect(sent.size() == length, "Set data length");
        if (expected && sent.size() == length) {
            const SettingBytes bytes = expected->bytes(*setting);
            expect(std::equal(sent.begin(), sent.end(), bytes.begin()), "Set bytes");
        }
    });
    Link link(clock);
    link.attach(reader.port());
    CheckingKeypadObserver observer;
    Keypad keypad(link, &observer);

    bool inHandler = false;
    link.setPump([&] {
        if (inHandler)
            return;
        inHandler = true;
        switch (reader.takeAction()) {
        case OperatorAction::Close:
            link.close();
            break;
        case OperatorAction::Nested: {
            // A click on a Get button while a keypad command waits: it starts nothing.
            KeypadSettings read;
            const KeypadEnd end =
                keypad.get(static_cast<KeypadSetting>(input.byte() % kSettingCount), read).end;
            expect(end == KeypadEnd::Busy, "a keypad operation nested in another");
            break;
        }
        default:
            break;
        }
        inHandler = false;
    });

    for (int i = 0; i < operations; ++i) {
        const int operation = input.byte() % (kLoad + 1);
        expected.reset();
        if (operation < kSettingCount) {
            KeypadSettings read = given;
            const KeypadStep step = keypad.get(static_cast<KeypadSetting>(operation), read);
            // Only an accepted Get changes its own setting.
            for (KeypadSetting other : kSettingOrder) {
                if (other != static_cast<KeypadSetting>(operation) || !step.outcome.accepted)
                    expect(read.bytes(other) == given.bytes(other), "a Get changed another value");
            }
        } else if (operation < kReadAll) {
            expected = given;
            keypad.set(static_cast<KeypadSetting>(operation - kSettingCount), given);
        } else if (operation == kReadAll) {
            const KeypadSequence read = keypad.readAll();
            expect(read.end == KeypadEnd::Done && read.outcomes.size() == 6,
                   "a reading that did not read all six");
        } else if (operation == kDefaults) {
            expected = KeypadSettings::defaults();
            const KeypadSequence sequence = keypad.restoreDefaults();
            expect(sequence.outcomes.size() == 12, "defaults without twelve outcomes");
        } else {
            const bool load = operation == kLoad;
            const KeypadWriteReport report =
                keypad.write(patch, load ? WriteMode::AllOrNothing : WriteMode::EachSetting);
            for (KeypadSetting setting : report.written)
                expect(contains(report.planned, setting), "written but not planned");
            for (KeypadSetting setting : report.planned)
                expect(patch.gives(setting), "planned but not given");
            expect(load || (!report.refused && report.restored.empty()),
                   "a Set by Set write rolled back");
            expect(!report.readFailed || report.planned.empty(), "sent after a failed read");
        }
    }
    return 0;
}
