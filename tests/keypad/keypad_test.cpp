// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad.h"

#include "fake_reader.h"
#include "keypad_settings.h"
#include "link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qn480 {
namespace {

using namespace qn480::testing;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using Command = std::pair<std::uint8_t, std::uint8_t>;
using enum KeypadSetting;

constexpr std::uint8_t kGroup = 0x00;

// What an observer sees, one line per event: "get Mode", "get Mode: 1 1 ok".
class RecordingObserver final : public KeypadObserver
{
public:
    void starting(KeypadSetting setting, bool write) override
    {
        log.push_back(std::string(write ? "set " : "get ") +
                      std::string(settingInfo(setting).operation));
    }
    void finished(const KeypadOutcome &outcome, const KeypadSettings &) override
    {
        log.push_back(log.back() + ": " + std::to_string(int(outcome.result)) + " " +
                      std::to_string(outcome.status) + (outcome.accepted ? " ok" : " refused"));
        outcomes.push_back(outcome);
    }

    std::vector<std::string> log;
    std::vector<KeypadOutcome> outcomes;
};

class KeypadTest : public ::testing::Test
{
protected:
    KeypadTest() { link.attach(reader.port()); }

    std::string onlyRequest() const
    {
        return reader.requests().size() == 1 ? hexText(reader.requests()[0]) : std::string();
    }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
    RecordingObserver observer;
    Keypad keypad{link, &observer};
};

KeypadSettings with(KeypadSetting setting, SettingBytes bytes)
{
    KeypadSettings settings;
    settings.setBytes(setting, bytes);
    return settings;
}

TEST_F(KeypadTest, SetsSendTheirValueAsItIs)
{
    const struct
    {
        KeypadSetting setting;
        SettingBytes bytes;
        const char *request;
    } cases[] = {
        {Mode, {0x0F}, "AA 00 05 00 00 00 11 0F 1B"},
        {Type, {0x11}, "AA 00 05 00 00 00 13 11 07"},
        {AddType, {0x09, 0x04, 0x81}, "AA 00 07 00 00 00 1B 09 04 81 90"},
        // A format code without a radio button, and an empty flags byte: sent unchanged.
        {AddType, {0x0B, 0x01, 0x00}, "AA 00 07 00 00 00 1B 0B 01 00 16"},
        {ScanTime, {200}, "AA 00 05 00 00 00 15 C8 D8"},
    };
    for (const auto &c : cases) {
        reader.clearLog();
        reader.answer(kGroup, settingInfo(c.setting).setCode, 0x01, {0xEE, 0x00});
        const KeypadStep step = keypad.set(c.setting, with(c.setting, c.bytes));
        EXPECT_EQ(onlyRequest(), c.request);
        EXPECT_EQ(step.end, KeypadEnd::Done);
        EXPECT_TRUE(step.outcome.accepted) << c.request; // any data with status 1
        EXPECT_TRUE(step.outcome.write);
        EXPECT_EQ(step.outcome.setting, c.setting);
    }
}

TEST_F(KeypadTest, AcceptedGetsGiveTheReadersValueAndOthersKeepTheOldOne)
{
    const struct
    {
        KeypadSetting setting;
        std::uint8_t status;
        Bytes data;
        bool accepted;
        SettingBytes value; // of the setting afterwards
    } cases[] = {
        {Mode, 0x01, {0x05}, true, {0x05}},
        {Mode, 0x01, {0xF0}, true, {0xF0}}, // bits without a name are kept as sent
        {Type, 0x01, {0xFF}, true, {0xFF}},
        {AddType, 0x01, {0x05, 0x01, 0x80}, true, {0x05, 0x01, 0x80}},
        {AddType, 0x01, {0x0B, 0x06, 0x00}, true, {0x0B, 0x06, 0x00}},
        {SendTime, 0x01, {0x00}, true, {0x00}},
        {ScanTime, 0x01, {0xFF}, true, {0xFF}},
        // Refused: status 1 with the wrong length, or an error status.
        {Mode, 0x01, {}, false, {0x33}},
        {Type, 0x01, {0x1F, 0x00}, false, {0x33}},
        {AddType, 0x01, {0x0C}, false, {0x33, 0x33, 0x33}},
        {AddType, 0x01, {0x0C, 0x04, 0x41, 0x00}, false, {0x33, 0x33, 0x33}},
        {SendTime, 0x01, {0x20, 0x20}, false, {0x33}},
        {SameTime, 0x22, {}, false, {0x33}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(hexText(c.data));
        KeypadSettings settings = with(c.setting, {0x33, 0x33, 0x33});
        reader.answer(kGroup, settingInfo(c.setting).getCode, c.status, c.data);
        const KeypadStep step = keypad.get(c.setting, settings);
        EXPECT_EQ(step.outcome.accepted, c.accepted);
        EXPECT_EQ(step.outcome.status, c.status);
        EXPECT_EQ(step.outcome.dataLength, int(c.data.size()));
        EXPECT_EQ(step.outcome.result, TransactionResult::Frame);
        EXPECT_EQ(settings, with(c.setting, c.value));
    }

    // No answer: a time-out without a frame.
    KeypadSettings settings;
    reader.silence(kGroup, 0x14);
    const KeypadStep silent = keypad.get(ScanTime, settings);
    EXPECT_FALSE(silent.outcome.accepted);
    EXPECT_EQ(silent.outcome.result, TransactionResult::TimeOut);
    EXPECT_EQ(silent.outcome.dataLength, -1);
    EXPECT_EQ(settings, KeypadSettings{});
    EXPECT_EQ(hexText(reader.requests().back()), "AA 00 04 00 00 00 14 10");
}

TEST_F(KeypadTest, FailureTextIsTheReadersElseTheOperationsOwn)
{
    const struct
    {
        KeypadOutcome outcome;
        const char *text;
    } cases[] = {
        {{Mode, false, TransactionResult::TimeOut, 0x00, -1, false}, "Get Mode Error!!"},
        {{Mode, false, TransactionResult::Frame, 0x21, 0, false},
         "Device received undefined command."},
        {{AddType, true, TransactionResult::Frame, 0x22, 0, false},
         "Device received incorrect parameter."},
        {{Type, true, TransactionResult::Frame, 0x31, 0, false}, "Set Type Error!!"},
        {{SameTime, true, TransactionResult::NoPort, 0x00, -1, false}, "Set SameCardTime Error!!"},
        // Accepted status, refused length: the reader's text still decides.
        {{Type, false, TransactionResult::Frame, 0x01, 0, false}, "Operation is successful."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(keypadFailureText(c.outcome), c.text);
}

TEST_F(KeypadTest, ReadAllReadsAllSixAndGoesOnAfterAFailureOrWithoutAPort)
{
    reader.answer(kGroup, 0x10, 0x01, {0x09});
    reader.answer(kGroup, 0x12, 0x21);
    reader.answer(kGroup, 0x1A, 0x01, {0x07, 0x04, 0x12});
    reader.silence(kGroup, 0x18);
    reader.answer(kGroup, 0x14, 0x01, {0x32});
    reader.answer(kGroup, 0x16, 0x01, {0x64});

    const KeypadSequence read = keypad.readAll();

    EXPECT_THAT(reader.commands(),
                ElementsAre(Command{0, 0x10}, Command{0, 0x12}, Command{0, 0x1A}, Command{0, 0x18},
                            Command{0, 0x14}, Command{0, 0x16}));
    KeypadSettings expected;
    expected.mode = 0x09;
    expected.addType = {0x07, 0x04, 0x12};
    expected.scanTime = 50;
    expected.sameTime = 100;
    EXPECT_EQ(read.settings, expected);
    ASSERT_EQ(read.outcomes.size(), 6u);
    EXPECT_EQ(read.outcomes[3].result, TransactionResult::TimeOut);
    ASSERT_TRUE(read.firstFailure());
    EXPECT_EQ(read.firstFailure()->setting, Type);
    EXPECT_EQ(read.firstFailure()->status, 0x21);

    // Disconnected: each fails at once, told in turn, and nothing is sent.
    link.close();
    reader.clearLog();
    observer.log.clear();
    const auto start = clock.now();
    const KeypadSequence none = keypad.readAll();
    EXPECT_EQ(clock.now(), start);
    EXPECT_TRUE(reader.requests().empty());
    EXPECT_EQ(none.end, KeypadEnd::Done);
    EXPECT_EQ(none.outcomes.size(), 6u);
    EXPECT_EQ(none.settings, KeypadSettings{});
    EXPECT_THAT(observer.log,
                ElementsAre("get Mode", "get Mode: 0 0 refused", "get Type",
                            "get Type: 0 0 refused", "get AddType", "get AddType: 0 0 refused",
                            "get SendTime", "get SendTime: 0 0 refused", "get ScanTime",
                            "get ScanTime: 0 0 refused", "get SameCardTime",
                            "get SameCardTime: 0 0 refused"));
}

TEST_F(KeypadTest, DefaultsAreSentThenReadBack)
{
    for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x19, 0x15, 0x17})
        reader.always(kGroup, code, 0x01);
    // The reader reports something else than it was sent for two settings, and refuses one.
    reader.answer(kGroup, 0x10, 0x01, {0x03});
    reader.answer(kGroup, 0x12, 0x01, {0x1F});
    reader.answer(kGroup, 0x1A, 0x01, {0x0C, 0x01, 0x80});
    reader.answer(kGroup, 0x18, 0x01, {0x0A});
    reader.answer(kGroup, 0x14, 0x01, {0x05});
    reader.answer(kGroup, 0x16, 0x21);

    const KeypadSequence sequence = keypad.restoreDefaults();

    const auto &requests = reader.requests();
    ASSERT_EQ(requests.size(), 12u);
    const char *const sets[] = {
        "AA 00 05 00 00 00 11 0F 1B",       "AA 00 05 00 00 00 13 1F 09",
        "AA 00 07 00 00 00 1B 05 01 80 98", "AA 00 05 00 00 00 19 0A 16",
        "AA 00 05 00 00 00 15 05 15",       "AA 00 05 00 00 00 17 0F 1D",
    };
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(hexText(requests[static_cast<std::size_t>(i)]), sets[i]);
    const auto commands = reader.commands();
    EXPECT_THAT(std::vector<Command>(commands.begin() + 6, commands.end()),
                ElementsAre(Command{0, 0x10}, Command{0, 0x12}, Command{0, 0x1A}, Command{0, 0x18},
                            Command{0, 0x14}, Command{0, 0x16}));
    EXPECT_EQ(sequence.outcomes.size(), 12u);
    EXPECT_EQ(sequence.settings.mode, 0x03);
    EXPECT_EQ(sequence.settings.addType, (qn480::AddType{0x0C, 0x01, 0x80}));
    EXPECT_EQ(sequence.settings.sameTime, 15); // its Get failed: the default stays
    EXPECT_THAT(sequence.kept(), ElementsAre(false, true, false, true, true, false));
    ASSERT_TRUE(sequence.firstFailure());
    EXPECT_EQ(sequence.firstFailure()->setting, SameTime);
    EXPECT_FALSE(sequence.firstFailure()->write);
}

TEST_F(KeypadTest, WritesSendWhatIsGivenAndALoadIsAllOrNothing)
{
    const auto readerHolds = [&] {
        reader.answer(kGroup, 0x10, 0x01, {0x03});
        reader.answer(kGroup, 0x12, 0x01, {0x02});
        reader.answer(kGroup, 0x1A, 0x01, {0x0B, 0x01, 0x80});
        reader.answer(kGroup, 0x18, 0x01, {0x03});
        reader.answer(kGroup, 0x14, 0x01, {0x04});
        reader.answer(kGroup, 0x16, 0x01, {0x05});
    };
    const struct
    {
        const char *name;
        WriteMode mode;
        KeypadPatch patch;
        std::function<void()> script;
        std::vector<std::string> requests; // after any reads
        std::vector<KeypadSetting> written;
        std::optional<KeypadSetting> refused;
        std::vector<KeypadSetting> restored;
    } cases[] = {
        {"set: a partial format keeps the reader's other bytes",
         WriteMode::EachSetting,
         {.reverse = 0x02, .sendTime = 20},
         [&] {
             reader.answer(kGroup, 0x1A, 0x01, {0x0B, 0x01, 0x80});
             reader.answer(kGroup, 0x1B, 0x22);
             reader.answer(kGroup, 0x19, 0x01);
         },
         {"AA 00 07 00 00 00 1B 0B 02 80 95", "AA 00 05 00 00 00 19 14 08"},
         {SendTime},
         std::nullopt,
         {}},
        {"load: every Set accepted",
         WriteMode::AllOrNothing,
         {.mode = 0x0F, .scanTime = 9},
         [&] {
             readerHolds();
             reader.answer(kGroup, 0x11, 0x01);
             reader.answer(kGroup, 0x15, 0x01);
         },
         {"AA 00 05 00 00 00 11 0F 1B", "AA 00 05 00 00 00 15 09 19"},
         {Mode, ScanTime},
         std::nullopt,
         {}},
        {"load: a refusal writes back what had changed",
         WriteMode::AllOrNothing,
         {.mode = 0x0F, .types = 0x1F, .scanTime = 9},
         [&] {
             readerHolds();
             reader.answer(kGroup, 0x11, 0x01);
             reader.answer(kGroup, 0x13, 0x22);
             reader.answer(kGroup, 0x11, 0x01);
         },
         {"AA 00 05 00 00 00 11 0F 1B", "AA 00 05 00 00 00 13 1F 09", "AA 00 05 00 00 00 11 03 17"},
         {},
         Type,
         {Mode}},
        {"load: a Set without an answer is written back too",
         WriteMode::AllOrNothing,
         {.types = 0x1F},
         [&] {
             readerHolds();
             reader.silence(kGroup, 0x13);
             reader.answer(kGroup, 0x13, 0x01);
         },
         {"AA 00 05 00 00 00 13 1F 09", "AA 00 05 00 00 00 13 02 14"},
         {},
         Type,
         {Type}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        c.script();
        reader.clearLog();
        const KeypadWriteReport report = keypad.write(c.patch, c.mode);
        std::vector<std::string> sent;
        for (const Bytes &request : reader.requests()) {
            if (request.size() > 6 && (request[6] & 1) == 1)
                sent.push_back(hexText(request));
        }
        EXPECT_EQ(report.end, KeypadEnd::Done);
        EXPECT_FALSE(report.readFailed);
        EXPECT_EQ(sent, c.requests);
        EXPECT_EQ(report.written, c.written);
        EXPECT_EQ(report.refused, c.refused);
        EXPECT_EQ(report.restored, c.restored);
    }

    // What must be read first could not be: nothing is sent.
    for (WriteMode mode : {WriteMode::EachSetting, WriteMode::AllOrNothing}) {
        reader.clearLog();
        reader.silence(kGroup, 0x1A);
        const KeypadWriteReport report = keypad.write({.mode = 1, .format = 5}, mode);
        EXPECT_TRUE(report.readFailed);
        EXPECT_TRUE(report.planned.empty());
        for (const Command &command : reader.commands())
            EXPECT_EQ(command.second & 1, 0) << int(command.second);
    }
}

TEST_F(KeypadTest, OperationsNeverNestAndEndWhenThePortClosesOrAStopComes)
{
    reader.setDelay(20ms); // long enough for the pump to run during the command
    KeypadSettings settings;
    // Inside a running Get: another operation starts nothing.
    std::vector<KeypadEnd> nested;
    link.setPump([&] {
        if (nested.empty()) {
            nested.push_back(keypad.readAll().end);
            nested.push_back(keypad.set(Mode, settings).end);
            nested.push_back(keypad.write({.mode = 1}, WriteMode::EachSetting).end);
        }
    });
    reader.answer(kGroup, 0x10, 0x01, {0x05});
    EXPECT_EQ(keypad.get(Mode, settings).end, KeypadEnd::Done);
    EXPECT_THAT(nested, ElementsAre(KeypadEnd::Busy, KeypadEnd::Busy, KeypadEnd::Busy));
    EXPECT_EQ(reader.requests().size(), 1u);

    // The port closed during the first Get: nothing more is sent or reported.
    link.setPump([&] { keypad.portClosed(); });
    observer.log.clear();
    EXPECT_EQ(keypad.readAll().end, KeypadEnd::Cut);
    EXPECT_THAT(observer.log, ElementsAre("get Mode"));
    link.setPump({});
    EXPECT_EQ(keypad.readAll().outcomes.size(), 6u); // the next operation runs whole

    // A stop ends a reading at its next check; the Sets of a write always finish.
    bool stop = false;
    keypad.setStopRequest([&] { return stop; });
    link.setPump([&] { stop = true; });
    reader.clearLog();
    EXPECT_EQ(keypad.readAll().end, KeypadEnd::Stopped);
    EXPECT_EQ(reader.requests().size(), 1u);
    stop = false;
    reader.clearLog();
    const KeypadWriteReport report = keypad.write({.mode = 1, .types = 2}, WriteMode::EachSetting);
    EXPECT_EQ(report.end, KeypadEnd::Done);
    EXPECT_EQ(reader.requests().size(), 2u);
}

// Reading the settings from the window's pump while a card procedure waits for its answer.
TEST_F(KeypadTest, ReadAllInsideAWaitingTransactionReadsTheReadersAnswers)
{
    reader.setDelay(20ms); // long enough for the pump to run during the card command
    reader.answer(0x0A, 0x10, 0x01, {0x04, 0x00});
    reader.answer(kGroup, 0x10, 0x01, {0x0C});
    reader.answer(kGroup, 0x12, 0x01, {0x01});
    reader.answer(kGroup, 0x1A, 0x01, {0x01, 0x02, 0x40});
    reader.answer(kGroup, 0x18, 0x01, {0x11});
    reader.answer(kGroup, 0x14, 0x01, {0x22});
    reader.answer(kGroup, 0x16, 0x01, {0x33});
    std::optional<KeypadSequence> read;
    link.setPump([&] {
        if (!read)
            read = keypad.readAll();
    });

    const Reply card = link.transact(0x0A, 0x10);

    ASSERT_TRUE(read);
    EXPECT_EQ(card.result, TransactionResult::Frame);
    EXPECT_EQ(card.response.Status, 0x01);
    ASSERT_EQ(card.response.DataLength, 2);
    EXPECT_EQ(card.response.Data[0], 0x04);
    EXPECT_EQ(read->settings, (KeypadSettings{0x0C, 0x01, {0x01, 0x02, 0x40}, 0x11, 0x22, 0x33}));
    EXPECT_FALSE(read->firstFailure());
}

// A handler the window runs right after a Get may send a command of its own; the Get still
// judges its own reply.
TEST_F(KeypadTest, GetJudgesItsOwnReplyWhateverThePumpSendsAfterIt)
{
    reader.setDelay(0ns); // answered before the Get's first look, so the pump runs only after
    reader.answer(kGroup, 0x10, 0x01, {0x05});
    reader.always(0x0A, 0x10, 0x21);
    link.setPump([&] {
        if (reader.count(kGroup, 0x10) == 1 && reader.count(0x0A, 0x10) == 0)
            link.transact(0x0A, 0x10);
    });

    KeypadSettings settings;
    const KeypadStep step = keypad.get(Mode, settings);

    EXPECT_EQ(reader.count(0x0A, 0x10), 1);
    EXPECT_EQ(link.LastResponse().Status, 0x21);
    EXPECT_TRUE(step.outcome.accepted);
    EXPECT_EQ(settings.mode, 0x05);
}

} // namespace
} // namespace qn480
