// SPDX-License-Identifier: GPL-3.0-or-later
// The keypad's Gets and Sets, the page showing and the defaults, against a reader whose
// answers come from the fuzz input, on a page whose controls the input sets first.
//
// Input: operation count, nineteen check boxes (3 bytes), format code, three scroll
// positions, then per operation its code followed by the reader's answers to its requests
// (fuzzed_reader.h).

#include "checking_views.h"
#include "fuzzed_reader.h"
#include "text_checks.h"

#include "keypad.h"
#include "keypad_settings.h"
#include "link.h"

#include <array>
#include <cstdint>
#include <limits>

namespace {

using namespace qn480;
using namespace qn480::fuzz;

constexpr int kMaxOperations = 8;
constexpr int kSettings = 6;
// Operation codes: 0-5 Get, 6-11 Set of KeypadSetting 0-5, 12 page shown, 13 defaults.
constexpr int kPageShown = 2 * kSettings;
constexpr int kDefaults = kPageShown + 1;
constexpr int kCheckBoxes = 19;

CheckingKeypadView pageFromInput(FuzzInput &input)
{
    CheckedBoxes boxes;
    std::uint32_t bits = input.byte();
    bits |= std::uint32_t{input.byte()} << 8;
    bits |= std::uint32_t{input.byte()} << 16;
    for (int i = 0; i < kCheckBoxes; ++i)
        boxes.set(static_cast<KeypadCheck>(i), (bits >> i & 1U) != 0);
    const int format = input.byte() % 14;
    std::array<int, 3> positions{};
    for (int &position : positions)
        position = input.byte();
    return {boxes, format, positions};
}

// What a Set may send for a setting: bits without a box are zero, the format code has a
// radio button, exactly one reversal code, at least one addition, timings as shown.
void checkSetRequest(const testing::Bytes &request, const CheckingKeypadView &page)
{
    if (request.size() < 8 || request[5] != 0x00)
        return;
    const auto data = std::span(request).subspan(7, request.size() - 8);
    switch (request[6]) {
    case 0x11:
        expect(data.size() == 1 && (data[0] & 0xF0) == 0, "Set Mode byte");
        break;
    case 0x13:
        expect(data.size() == 1 && (data[0] & 0xE0) == 0, "Set Type byte");
        break;
    case 0x1B:
        expect(data.size() == 3 && hasFormatButton(data[0]) &&
                   (data[1] == kNoReversal || data[1] == kReverseByte || data[1] == kReverseBit) &&
                   data[2] != 0,
               "Set AddType bytes");
        break;
    case 0x19:
        expect(data.size() == 1 && data[0] == page.position(KeypadTiming::SendTime),
               "Set SendTime byte");
        break;
    case 0x15:
        expect(data.size() == 1 && data[0] == page.position(KeypadTiming::ScanTime),
               "Set ScanTime byte");
        break;
    case 0x17:
        expect(data.size() == 1 && data[0] == page.position(KeypadTiming::SameTime),
               "Set SameTime byte");
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input({data, size});
    const int operations = 1 + input.byte() % kMaxOperations;
    CheckingKeypadView page = pageFromInput(input);

    testing::FakeClock clock;
    // Every operation ends by itself: no request limit.
    FuzzedReader reader(clock, input, std::numeric_limits<int>::max());
    reader.onEachRequest([&](const testing::Bytes &request) { checkSetRequest(request, page); });
    Link link(clock);
    link.attach(reader.port());
    Keypad keypad(link, page);

    bool inHandler = false;
    link.setPump([&] {
        if (inHandler)
            return;
        inHandler = true;
        switch (reader.takeAction()) {
        case OperatorAction::Close:
            link.close();
            break;
        case OperatorAction::Nested:
            // A click on a Get button while a keypad command waits.
            keypad.get(static_cast<KeypadSetting>(input.byte() % kSettings));
            break;
        default:
            break;
        }
        inHandler = false;
    });

    for (int i = 0; i < operations; ++i) {
        const int operation = input.byte() % (kDefaults + 1);
        if (operation < kSettings)
            keypad.get(static_cast<KeypadSetting>(operation));
        else if (operation < kPageShown)
            keypad.set(static_cast<KeypadSetting>(operation - kSettings));
        else if (operation == kPageShown)
            keypad.pageShown();
        else
            keypad.restoreDefaults();
    }
    return 0;
}
