// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl's commands against a scripted reader: what goes over the wire, what is printed
// on each stream, and the exit codes.

#include "commands.h"
#include "csv.h"
#include "keypad_commands.h"
#include "keypad_profile.h"
#include "link.h"
#include "options.h"
#include "poll_events.h"
#include "text_files.h"
#include "trace.h"

#include "fake_reader.h"
#include "private_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace qn480::cli {
namespace {

using qn480::testing::Bytes;
using qn480::testing::FakeClock;
using qn480::testing::FakeReader;
using qn480::testing::hex;
using qn480::testing::hexText;

const std::string kCarrierOff = "AA 00 04 00 00 00 31 35";

// Card lines and the trace carry the time; the tests hold it still.
const auto kWhen =
    std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'123));
const std::string kIsoWhen = "2023-11-14T22:13:20.123Z";
const std::string kLocalWhen = traceTimestamp(kWhen);

using testing::readFile;
using testing::splitLines;

// qn480ctl's commands run in-process against a scripted reader.
struct Bench
{
    Bench() { link.attach(reader.port()); }

    int run(std::vector<std::string_view> args)
    {
        out.str({});
        err.str({});
        reader.clearLog();
        const Options options = parseArguments(args);
        Io io{out, err, -1, [] {
                  return kWhen;
              }};
        int code = kExitSuccess;
        if (options.command == Command::KeypadLoad &&
            !(io.profile = loadProfile(options, err, -1, code)))
            return code;
        return runCommand(options, link, io, stop);
    }
    // A command line of words without blanks.
    int runLine(const std::string &line)
    {
        std::istringstream in(line);
        const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        return run({words.begin(), words.end()});
    }

    std::vector<std::string> outLines() const { return splitLines(out.str()); }
    std::vector<std::string> errLines() const { return splitLines(err.str()); }
    std::vector<std::string> frames() const
    {
        std::vector<std::string> list;
        for (const Bytes &request : reader.requests())
            list.push_back(hexText(request));
        return list;
    }

    // A reader that switches its carrier and takes every air interface's configuration.
    void acceptCarrier()
    {
        for (std::uint8_t group : {0x0A, 0x0B, 0x0C, 0x0D})
            reader.always(group, 0x00, 1);
        reader.always(0x00, 0x30, 1);
        reader.always(0x00, 0x31, 1);
    }

    // A Mifare Classic 1K with UID 12 34 56 78 and no answer to select.
    void classicCard()
    {
        reader.always(0x0A, 0x10, 1, hex("04 00"));
        reader.always(0x0A, 0x12, 1, hex("12 34 56 78"));
        reader.always(0x0A, 0x13, 1, hex("08"));
        reader.always(0x0A, 0x15, 0xE0);
    }

    // Stop (Ctrl-C, or the signal given) once the `n`th request of (group, code) has gone out.
    void stopAt(std::uint8_t group, std::uint8_t code, int n, int signal = 1)
    {
        reader.onRequest([=, this](const Bytes &) {
            if (reader.count(group, code) == n)
                stop = signal;
        });
    }

    // The six Gets answered with these words of hexadecimal bytes: mode, types, AddType,
    // send, scan and same-card time.
    void settings(const std::string &words)
    {
        std::istringstream in(words);
        std::string word;
        for (std::uint8_t code : {0x10, 0x12, 0x1A, 0x18, 0x14, 0x16}) {
            in >> word;
            reader.always(0x00, code, 1, hex(word));
        }
    }
    void acceptSets()
    {
        for (std::uint8_t code : {0x11, 0x13, 0x1B, 0x19, 0x15, 0x17})
            reader.always(0x00, code, 1);
    }

    FakeClock clock;
    FakeReader reader{clock};
    Link link{clock};
    std::ostringstream out;
    std::ostringstream err;
    volatile std::sig_atomic_t stop = 0;
};

class CommandTest : public ::testing::Test, public Bench
{};

// ---- poll ----

TEST_F(CommandTest, PollTellsArrivalsAndRemovalsAndForgivesASingleMissedPass)
{
    const std::string present = kLocalWhen + " present nfcid=12345678 atqa=0400 sak=08 "
                                             "type=Mifare Classic 1K";
    const std::string removed = kLocalWhen + " removed nfcid=12345678";
    // A card still there when the poll stops leaves with it.
    const std::string stopped = removed + " cause=stopped";
    struct Case
    {
        std::string passes; // one letter a pass: C the card answers, - no card
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        // Gone for two passes and 100 ms: removed, and present again when it is back (each
        // pass's verdict is the presence tracker's own).
        {"C-----C", {present, removed, present, stopped}},
        {"-C------", {present, removed}},
    };
    acceptCarrier();
    classicCard();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.passes);
        for (char pass : c.passes) {
            if (pass == 'C')
                reader.answer(0x0A, 0x10, 1, hex("04 00"));
            else
                reader.answer(0x0A, 0x10, 0xE0);
        }
        stopAt(0x0A, 0x10, static_cast<int>(c.passes.size()));
        EXPECT_EQ(run({"poll", "14a"}), kExitSuccess);
        EXPECT_EQ(outLines(), c.lines);
        EXPECT_EQ(reader.count(0x0A, 0x10), static_cast<int>(c.passes.size()));
        stop = 0;
    }
    // Each message once until it changes (the card's announcement in between is not
    // repeated on stderr).
    const std::string noCard = "There is no card or card doesn\u2019t respond.";
    EXPECT_EQ(errLines(), (std::vector<std::string>{
                              "Configure registers in the QN480 to serve ISO14443A transaction.",
                              "Start 13.56-MHz carrier emission",
                              noCard,
                              noCard,
                              "Stop 13.56-MHz carrier emission",
                          }));

    // --count counts arrivals; --quiet keeps stderr for failures.
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    reader.answer(0x0A, 0x10, 0xE0);
    reader.answer(0x0A, 0x10, 1, hex("04 00"));
    EXPECT_EQ(run({"poll", "14a", "-qn", "1"}), kExitSuccess);
    EXPECT_EQ(outLines(), std::vector<std::string>{present});
    EXPECT_EQ(reader.count(0x0A, 0x10), 1);
    EXPECT_EQ(err.str(), "");
}

TEST_F(CommandTest, PollTimeOutEndsAOneShotReadWithNoAnswer)
{
    acceptCarrier();
    reader.always(0x0A, 0x10, 0xE0);
    EXPECT_EQ(run({"poll", "14a", "--count", "1", "--timeout", "0.5", "--quiet"}), kExitNoAnswer);
    EXPECT_TRUE(out.str().empty());
    EXPECT_EQ(err.str(), "qn480ctl: no card within the time-out\n");
    EXPECT_EQ(frames().back(), kCarrierOff);
    // About 0.5 s of 20 ms passes.
    EXPECT_GE(reader.count(0x0A, 0x10), 20);
    EXPECT_LE(reader.count(0x0A, 0x10), 30);

    classicCard();
    EXPECT_EQ(run({"poll", "14a", "--count", "1", "--timeout", "5"}), kExitSuccess);
    EXPECT_EQ(outLines().size(), 1u);
}

TEST_F(CommandTest, StopEndsThePollAfterTheCurrentPassWithOneCarrierOff)
{
    acceptCarrier();
    classicCard();
    stopAt(0x0A, 0x10, 3);

    EXPECT_EQ(run({"poll", "14a", "--json"}), kExitSuccess);

    const std::string card = R"({"interface":"14a","uid":"0000000078563412","atqa":"04",)"
                             R"("sak":"08","type":"Mifare Classic 1K","nfcid":"12345678",)"
                             R"("atqa_bytes":"0400","event":)";
    EXPECT_EQ(outLines(),
              (std::vector<std::string>{card + R"("present","time":")" + kIsoWhen + R"("})",
                                        card + R"("removed","cause":"stopped","time":")" +
                                            kIsoWhen + R"("})"}));
    EXPECT_EQ(reader.count(0x0A, 0x10), 3);
    // The third pass ran to its end: anticollision, select and answer to select.
    const auto sent = reader.commands();
    ASSERT_GE(sent.size(), 4u);
    const std::pair<std::uint8_t, std::uint8_t> answerToSelect{0x0A, 0x15};
    EXPECT_EQ(sent[sent.size() - 2], answerToSelect);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(frames().back(), kCarrierOff);
}

TEST_F(CommandTest, PollStopsWhenTheReaderOfItsOutputHasGone)
{
    acceptCarrier();
    classicCard();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::close(fds[0]);
    const Options options = parseArguments(std::vector<std::string_view>{"poll", "14a"});
    EXPECT_EQ(runCommand(options, link, Io{out, err, fds[1]}, stop), kExitSuccess);
    ::close(fds[1]);
    EXPECT_EQ(reader.count(0x00, 0x30), 1);
    EXPECT_EQ(reader.count(0x00, 0x31), 1);
    EXPECT_EQ(frames().back(), kCarrierOff);
}

// --trace shows every frame on the error stream, stamped with the local time and marked with
// its direction; the window's QN480_TRACE lines are the same.
TEST_F(CommandTest, TraceShowsEveryFrameOnTheErrorStream)
{
    reader.always(0x00, 0x10, 1, hex("0F"));
    EXPECT_EQ(run({"--trace", "raw", "00", "10"}), kExitSuccess);
    EXPECT_EQ(errLines(), (std::vector<std::string>{
                              kLocalWhen + " >> AA 00 04 00 00 00 10 14",
                              kLocalWhen + " << AA 00 06 00 00 00 10 01 0F 18",
                          }));
    EXPECT_EQ(traceLine(TraceDirection::Response, {}, kWhen), kLocalWhen + " <<");
    EXPECT_EQ(traceLine(TraceDirection::Skipped, hex("AA 00 04 00 00 00 30 34"), kWhen),
              kLocalWhen +
                  " << AA 00 04 00 00 00 30 34  (skipped: not the answer to this request)");
}

// ---- raw and keypad ----

// A keypad Set request as it goes out.
std::string setFrame(std::uint8_t code, const Bytes &data)
{
    std::uint8_t check = static_cast<std::uint8_t>(4 + data.size()) ^ code;
    for (std::uint8_t b : data)
        check ^= b;
    Bytes frame{0xAA, 0x00, static_cast<std::uint8_t>(4 + data.size()), 0x00, 0x00, 0x00, code};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(check);
    return hexText(frame);
}

// raw and the keypad commands against a reader that holds the window's defaults and takes
// every Set, unless a row says otherwise: the exit code, each stream, and what went out.
TEST(ReaderCommands, PrintWhatTheReaderAnsweredAndExitByIt)
{
    const Bytes answered = qn480::testing::responseFrame(0x00, 0x10, 1, hex("0F"));
    Bytes broken = answered;
    broken.back() ^= 0xFF;
    Bytes both = answered;
    both.insert(both.end(), broken.begin(), broken.end());
    // Text from a profile is escaped: it must not drive the terminal.
    const qn480::testing::PrivateDir dir("qn480ctl-hostile");
    const std::string hostile = dir / "hostile.json";
    std::ofstream(hostile) << R"({"\u001b]0;PWNED\u0007": 1})";
    const std::string held = "mode: autoread,beep,led,samecard\ntypes: 14a,14b,felica,15693,guid\n"
                             "format: 8H\nreverse: none\nadd: enter\n";
    struct Case
    {
        std::string args;
        std::function<void(Bench &)> setUp;
        int code;
        std::string out; // a part of stdout; "": nothing at all
        std::string err;
        std::string sent = {}; // the first requests, a line each
        int requests = -1;     // in all; -1: not counted
    };
    const std::vector<Case> cases{
        // A poll that cannot start: the page's own message, and no carrier commands. Silence ...
        {"poll 14a", [](Bench &b) { b.reader.alwaysSilent(0x0A, 0x00); }, kExitNoAnswer, "",
         "Configure registers in the QN480 to serve ISO14443A transaction.\nInitialize 43A Mode "
         "Failed!\n",
         "AA 00 04 00 00 0A 00 0E\n", 1},
        // ... the configuration refused, or the carrier.
        {"poll 14b", [](Bench &b) { b.reader.always(0x0B, 0x00, 0x20); }, kExitReaderError, "",
         "Configure registers in the QN480 to serve ISO14443B transaction.\nDevice received "
         "undefined command category.\n",
         "", 1},
        {"poll felica",
         [](Bench &b) {
             b.reader.always(0x0C, 0x00, 1);
             b.reader.always(0x00, 0x30, 0x30);
         },
         kExitReaderError, "",
         "Configure registers in the QN480 to serve Felica transaction\nStart 13.56-MHz carrier "
         "emission\nWriting hardware parameters failed.\n",
         "", 2},
        {"raw 0D 10 0000", [](Bench &b) { b.reader.answer(0x0D, 0x10, 1, hex("00 11 22")); },
         kExitSuccess, "result: frame\nstatus: 01 Operation is successful.\ndata: 00 11 22\n", "",
         "AA 00 06 00 00 0D 10 00 00 1B\n", 1},
        {"raw 0a 10 --json", [](Bench &b) { b.reader.answer(0x0A, 0x10, 0xE0); }, kExitReaderError,
         R"({"result":"frame","status":224,"status_text":"There is no card or card doesn’t )"
         R"(respond.","data_length":0,"data":""})",
         ""},
        {"raw 00 99", [](Bench &b) { b.reader.answer(0x00, 0x99, 0x31); }, kExitReaderError,
         "result: frame\nstatus: 31\ndata: none\n", ""},
        // Without a valid answer: no answer.
        {"raw 00 10", [](Bench &b) { b.reader.silence(0x00, 0x10); }, kExitNoAnswer,
         "result: time-out\nstatus: 00\ndata: none (no valid frame)\n", ""},
        {"raw 00 10 --json", [&](Bench &b) { b.reader.answerRaw(0x00, 0x10, broken); },
         kExitNoAnswer,
         R"({"result":"bad checksum","status":0,"status_text":"","data_length":-1,"data":""})", ""},
        // A good frame and a broken one in one read: the good one shows, the exit says failure.
        {"raw 00 10", [&](Bench &b) { b.reader.answerRaw(0x00, 0x10, both); }, kExitReaderError,
         "result: bad checksum\nstatus: 01 Operation is successful.\ndata: 0F\n", ""},
        {"keypad get", [](Bench &b) { b.settings("05 11 0C0441 00 C8 FF"); }, kExitSuccess,
         "mode: autoread,led\ntypes: 14a,guid\nformat: 32H\nreverse: bit\nadd: comma,ctrl-enter\n"
         "send-time: 0 (0 ms)\nscan-time: 200 (2000 ms)\nsame-card-time: 255 (25500 ms)\n",
         "", "", 6},
        // Code 11 has no name among the formats: the reader's code is shown as it is.
        {"keypad get --json", [](Bench &b) { b.settings("00 00 0B0600 0A 05 0F"); }, kExitSuccess,
         R"({"mode":[],"types":[],"format":"code 0x0B","reverse":"both","add":[],"send_time":10,)"
         R"("send_time_ms":10,"scan_time":5,"scan_time_ms":50,"same_card_time":15,)"
         R"("same_card_time_ms":1500,"errors":{}})",
         ""},
        // What could not be read is named: refused, one byte where three belong, silence.
        {"keypad get",
         [](Bench &b) {
             b.reader.answer(0x00, 0x12, 0x21);
             b.reader.answer(0x00, 0x1A, 1, hex("05"));
             b.reader.silence(0x00, 0x16);
         },
         kExitNoAnswer,
         "mode: autoread,beep,led,samecard\ntypes: not read (Device received undefined "
         "command.)\nformat: not read (Operation is successful.)\nreverse: not read (Operation "
         "is successful.)\nadd: not read (Operation is successful.)\nsend-time: 10 (10 ms)\n"
         "scan-time: 5 (50 ms)\nsame-card-time: not read (Get SameCardTime Error!!)\n",
         "qn480ctl: get types: Device received undefined command.\nqn480ctl: get addtype: "
         "Operation is successful.\nqn480ctl: get same_card_time: Get SameCardTime Error!!\n"},
        {"keypad get --json", [](Bench &b) { b.reader.answer(0x00, 0x10, 0x21); }, kExitReaderError,
         R"({"mode":null,"types":["14a","14b","felica","15693","guid"],"format":"8H",)"
         R"("reverse":"none","add":["enter"],"send_time":10,"send_time_ms":10,"scan_time":5,)"
         R"("scan_time_ms":50,"same_card_time":15,"same_card_time_ms":1500,)"
         R"("errors":{"mode":"Device received undefined command."}})",
         "qn480ctl: get mode: Device received undefined command.\n"},
        {"keypad load " + hostile, [](Bench &) {}, kExitUsage, "",
         "qn480ctl: profile " + hostile +
             ": \\x1B]0;PWNED\\x07: unknown field; a profile holds "
             "mode, types, format, reverse, add, send_time, scan_time and same_card_time; nothing "
             "sent\n",
         "", 0},
        // keypad set sends only what is given, then reads all six back: the reader still
        // reports every mode bit, so it did not keep what was sent.
        {"keypad set --send-time 200 --mode none",
         [](Bench &b) { b.reader.always(0x00, 0x18, 1, hex("C8")); }, kExitReaderError,
         held + "send-time: 200 (200 ms)\n",
         "qn480ctl: the reader kept mode autoread,beep,led,samecard after none was sent\n",
         setFrame(0x11, hex("00")) + "\n" + setFrame(0x19, hex("C8")) + "\n", 2 + 6},
        // Part of the format: the rest is kept as the reader has it ...
        {"keypad set --format 10D",
         [](Bench &b) {
             b.reader.answer(0x00, 0x1A, 1, hex("05 04 41"));
             b.reader.answer(0x00, 0x1A, 1, hex("06 04 41"));
         },
         kExitSuccess, "format: 10D\nreverse: bit\nadd: comma,ctrl-enter\n", "",
         "AA 00 04 00 00 00 1A 1E\n" + setFrame(0x1B, hex("06 04 41")) + "\n"},
        // ... and nothing is sent when that rest cannot be read.
        {"keypad set --reverse byte --json", [](Bench &b) { b.reader.silence(0x00, 0x1A); },
         kExitNoAnswer, "",
         "qn480ctl: get addtype: Get AddType Error!!\nqn480ctl: nothing sent: the output format "
         "must be read before part of it can be changed\n",
         "AA 00 04 00 00 00 1A 1E\n", 1},
        // The whole format goes out without a read first; no addition is sent as Enter.
        {"keypad set --format 16H --reverse byte --add none",
         [](Bench &b) { b.reader.always(0x00, 0x1A, 1, hex("09 02 80")); }, kExitSuccess,
         "add: enter\n", "", setFrame(0x1B, hex("09 02 80")) + "\n"},
        {"keypad set --scan-time 9", [](Bench &b) { b.reader.always(0x00, 0x15, 0x22); },
         kExitReaderError, "scan-time: 5 (50 ms)\n",
         "qn480ctl: set scan_time: Device received incorrect parameter.\n"},
        // keypad defaults does what the window's button does.
        {"keypad defaults --json", [](Bench &) {}, kExitSuccess,
         R"({"mode":["autoread","beep","led","samecard"],)"
         R"("types":["14a","14b","felica","15693","guid"],"format":"8H","reverse":"none",)"
         R"("add":["enter"],"send_time":10,"send_time_ms":10,"scan_time":5,"scan_time_ms":50,)"
         R"("same_card_time":15,"same_card_time_ms":1500,"errors":{}})",
         "", "", 12},
        // A silent Set is told and decides the exit code; the sequence still runs to its end.
        {"keypad defaults", [](Bench &b) { b.reader.silence(0x00, 0x13); }, kExitNoAnswer, held,
         "qn480ctl: set types: Set Type Error!!\n", "", 12},
        // What the reader reports back is printed as it holds it, a code without a name too:
        // 8H in its place would pass for a default kept.
        {"keypad defaults", [](Bench &b) { b.reader.always(0x00, 0x1A, 1, hex("0B 01 80")); },
         kExitSuccess, "\nformat: code 0x0B\n", ""},
        // A stop signal ends a command after the transaction in progress, and a write sequence
        // after its last Set, so that the reader is not left half-set.
        {"keypad get", [](Bench &b) { b.stopAt(0x00, 0x12, 1, SIGTERM); }, 128 + SIGTERM, "", "",
         "", 2},
        {"keypad set --send-time 7 --mode led", [](Bench &b) { b.stopAt(0x00, 0x11, 1, SIGTERM); },
         128 + SIGTERM, "", "", "", 2},
        {"keypad defaults", [](Bench &b) { b.stopAt(0x00, 0x15, 1, SIGTERM); }, 128 + SIGTERM, "",
         "", "", 12},
        {"raw 00 10", [](Bench &b) { b.stopAt(0x00, 0x10, 1, SIGTERM); }, 128 + SIGTERM, "", "", "",
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        Bench b;
        b.settings("0F 1F 050180 0A 05 0F");
        b.acceptSets();
        c.setUp(b);
        EXPECT_EQ(b.runLine(c.args), c.code);
        EXPECT_TRUE(c.out.empty() ? b.out.str().empty()
                                  : b.out.str().find(c.out) != std::string::npos)
            << b.out.str();
        EXPECT_EQ(b.err.str(), c.err);
        std::string sent;
        for (const std::string &frame : b.frames())
            sent += frame + "\n";
        EXPECT_TRUE(sent.starts_with(c.sent)) << sent;
        if (c.requests >= 0) {
            EXPECT_EQ(b.frames().size(), static_cast<std::size_t>(c.requests));
        }
    }
}

TEST_F(CommandTest, KeypadLoadIsAllOrNothing)
{
    // A folder of its own: another run of the suite may be loading at the same time.
    const qn480::testing::PrivateDir scratch("qn480ctl-profile");
    const std::string path = scratch / "profile.json";
    const std::string fourSettings =
        R"({"mode": ["beep"], "send_time": 7, "scan_time": 9, "same_card_time": 3})";
    const std::string setsBefore = setFrame(0x11, hex("02")) + "\n" + setFrame(0x19, hex("07")) +
                                   "\n" + setFrame(0x15, hex("09")) + "\n";
    const std::string writtenBack =
        setFrame(0x11, hex("0F")) + "\n" + setFrame(0x19, hex("0A")) + "\n";
    struct Case
    {
        std::string name;
        std::string profile;
        std::function<void()> reader; // after the six Gets and accepted Sets are set up
        int code;
        std::string sets; // a line each, after the six Gets and before the six of the end
        std::string err;
    };
    const std::vector<Case> cases{
        // The whole format is given: no Get of it alone, and no Enter for no additions.
        {"sent as it is, and what was not kept is named",
         "// kept by line 3\n"
         R"({"format": "code 0x0B", "reverse": "bit", "add": [],)"
         R"( "same_card_time": 20, "same_card_time_ms": 2000})",
         [] {}, kExitReaderError,
         setFrame(0x1B, hex("0B 04 00")) + "\n" + setFrame(0x17, hex("14")) + "\n",
         "qn480ctl: the reader kept same_card_time 15 after 20 was sent\n"},
        {"a refused Set stops the rest and writes back what had changed", fourSettings,
         [&] { reader.always(0x00, 0x15, 0x22); }, kExitReaderError, setsBefore + writtenBack,
         "qn480ctl: set scan_time: Device received incorrect parameter.\nqn480ctl: profile not "
         "loaded: the Set of scan_time failed; the reader holds its earlier settings again "
         "(written back: mode, send_time)\n"},
        // Without an answer the reader may have taken it: it is written back too.
        {"a Set without an answer is written back as well", fourSettings,
         [&] { reader.silence(0x00, 0x15); }, kExitNoAnswer,
         setsBefore + writtenBack + setFrame(0x15, hex("05")) + "\n",
         "qn480ctl: set scan_time: Set ScanTime Error!!\nqn480ctl: profile not loaded: the Set of "
         "scan_time failed; the reader holds its earlier settings again (written back: mode, "
         "send_time, scan_time)\n"},
        {"a write-back refused is named", fourSettings,
         [&] {
             reader.answer(0x00, 0x11, 1);
             reader.always(0x00, 0x11, 0x22);
             reader.always(0x00, 0x19, 0x22);
         },
         kExitReaderError,
         setFrame(0x11, hex("02")) + "\n" + setFrame(0x19, hex("07")) + "\n" +
             setFrame(0x11, hex("0F")) + "\n",
         "qn480ctl: set send_time: Device received incorrect parameter.\nqn480ctl: set mode: "
         "Device received incorrect parameter.\nqn480ctl: profile not loaded: the Set of "
         "send_time failed; the reader keeps the profile's mode (writing back failed) and its "
         "earlier settings otherwise\n"},
        // Last: the reader stays unplugged.
        {"a lost reader: what was written and what not", fourSettings,
         [&] {
             reader.onRequest([&](const Bytes &request) {
                 if (request.size() > 6 && request[6] == 0x19)
                     reader.unplug();
             });
         },
         kExitPortFailed, setFrame(0x11, hex("02")) + "\n" + setFrame(0x19, hex("07")) + "\n",
         "qn480ctl: the reader on its port was disconnected (unplugged or hung up)\nqn480ctl: "
         "written before the reader was lost: mode; perhaps written (no answer): send_time; not "
         "written: scan_time, same_card_time\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        reader.onRequest({});
        settings("0F 1F 0B0400 0A 05 0F");
        acceptSets();
        c.reader();
        std::ofstream(path) << c.profile;
        EXPECT_EQ(run({"keypad", "load", path}), c.code);
        // The reader's settings are read first, to be written back; then the sets, and unless
        // the reader is lost, the six Gets of the end.
        const auto sent = frames();
        std::string sets;
        for (std::size_t i = 6; i < sent.size(); ++i)
            sets += sent[i] + "\n";
        EXPECT_TRUE(sets.starts_with(c.sets)) << sets;
        const std::size_t setCount =
            static_cast<std::size_t>(std::count(c.sets.begin(), c.sets.end(), '\n'));
        EXPECT_EQ(sent.size(), (c.code == kExitPortFailed ? 6u : 12u) + setCount);
        EXPECT_EQ(err.str(), c.err);
    }
}

// A profile is refused whole, in one line that names the field at fault; qn480ctl reads it
// before it opens any port.
TEST(KeypadProfile, ABadProfileIsNamedInOneLine)
{
    const qn480::testing::PrivateDir dir("qn480ctl-bad-profile");
    struct Case
    {
        std::string text;
        std::string message; // after "profile FILE: "
        bool directory = false;
    };
    const std::vector<Case> cases{
        {R"({"mode": ["beep",]})", "not a JSON profile: parse error at line 1, column 18: "},
        {R"({"beeper": true})", "beeper: unknown field; "},
        {R"({"types": ["14a", "nfc-f"]})", "types: unknown name \"nfc-f\"; "},
        {R"({"format": "9H"})", "format: unknown format \"9H\"; "},
        {R"({"scan_time": 256})", "scan_time: 256 is out of range; "},
        {R"({"send_time": 5, "send_time_ms": 50})", "send_time_ms: 50 does not match send_time; "},
        {R"({"mode": null})", "mode: is null: "},
        {"// nothing but a comment\n{}", "the profile holds no setting; nothing sent"},
        // Numbers no double holds, once an exception nobody caught.
        {R"({"send_time": 1e999})", "not a JSON profile: number overflow parsing '1e999'"},
        {R"({"scan_time": -1e400})", "not a JSON profile: number overflow parsing '-1e400'"},
        {R"({"mode": ["beep"], "mode": []})", "mode: given twice; "},
        {std::string(R"({"mode": ["beep"]})") + '\0' + "{}",
         "not a JSON profile: a NUL byte at offset 18"},
        // What keypad set and the reader refuse is refused before anything goes out.
        {R"({"scan_time": 9, "reverse": "both"})",
         "reverse: takes none, byte or bit, not \"both\""},
        {"{\"mode\": \xFF}", "not a JSON profile: parse error at line 1, column 10: "},
        {"", "is a directory, not a profile; nothing sent", true},
    };
    const volatile std::sig_atomic_t never = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.text);
        const std::string path = dir / ("bad" + std::to_string(i) + ".json");
        if (c.directory)
            std::filesystem::create_directory(path);
        else
            std::ofstream(path) << c.text;
        const ProfileFile read = readProfile(path, {never});
        EXPECT_EQ(read.fault, ProfileFault::Refused);
        EXPECT_TRUE(read.message.starts_with("profile " + path + ": " + c.message)) << read.message;
        EXPECT_TRUE(read.message.ends_with("nothing sent")) << read.message;
        EXPECT_EQ(read.message.find('\n'), std::string::npos) << read.message;
    }
}

TEST_F(CommandTest, KeypadSaveReplacesTheFileWholeOrNotAtAll)
{
    namespace fs = std::filesystem;
    const qn480::testing::PrivateDir scratch("qn480ctl-save");
    const fs::path dir = scratch.path() / "save";
    const std::string path = (dir / "line3.json").string();
    const std::string old = "{\"mode\": [\"beep\"]}\n";
    struct Case
    {
        std::string name;
        bool link;        // the target is a symbolic link to the file
        rlim_t sizeLimit; // RLIM_INFINITY: none
        int code;
        bool replaced;
        std::string err; // its first line, after "qn480ctl: "
    };
    const std::vector<Case> cases{
        {"a file is replaced and keeps its mode", false, RLIM_INFINITY, kExitSuccess, true,
         "saved the six settings to " + path},
        {"a failed write leaves the old file", false, 8, 1, false,
         "cannot write " + path + ": File too large; the file is as it was"},
        {"a symbolic link is refused, not followed", true, RLIM_INFINITY, kExitUsage, false,
         dir.string() + "/link.json is a symbolic link; keypad save does not follow it: give "
                        "the file it points to"},
    };
    settings("0F 1F 050180 0A 05 0F");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::ofstream(path) << old;
        fs::permissions(path,
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        std::string target = path;
        if (c.link) {
            target = (dir / "link.json").string();
            fs::create_symlink(path, target);
        }
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        rlimit limited = before;
        limited.rlim_cur = c.sizeLimit;
        setrlimit(RLIMIT_FSIZE, &limited);
        const int code = run({"keypad", "save", target});
        setrlimit(RLIMIT_FSIZE, &before);
        EXPECT_EQ(code, c.code);
        ASSERT_FALSE(errLines().empty());
        EXPECT_EQ(errLines().front(), "qn480ctl: " + c.err);
        EXPECT_EQ(readFile(path) == old, !c.replaced);
        EXPECT_EQ(readFile(path).starts_with("{\n  \"mode\": [\"autoread\","), c.replaced);
        EXPECT_EQ(fs::status(path).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        EXPECT_EQ(fs::is_symlink(target), c.link);
        // No temporary file is left behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
                  c.link ? 2 : 1);
    }
    fs::remove_all(dir);
}

// ---- ports ----

TEST(PortsCommand, ListsNameDeviceAndDescription)
{
    const std::vector<PortEntry> ports{
        {"COM07", 7, "/dev/pts/3", "/dev/pts/3, from QN480_PORTS"},
        {"COM100", 100, "/dev/ttyUSB0", "/dev/ttyUSB0, FT232R \"USB\" UART"},
    };
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(listPortsCommand(ports, false, Io{out, err}), kExitSuccess);
    EXPECT_EQ(out.str(), "COM07\t/dev/pts/3\t/dev/pts/3, from QN480_PORTS\n"
                         "COM100\t/dev/ttyUSB0\t/dev/ttyUSB0, FT232R \"USB\" UART\n");
    out.str({});
    EXPECT_EQ(listPortsCommand(ports, true, Io{out, err}), kExitSuccess);
    EXPECT_EQ(splitLines(out.str())[1], R"({"name":"COM100","number":100,"device":"/dev/ttyUSB0",)"
                                        R"("description":"/dev/ttyUSB0, FT232R \"USB\" UART"})");
    EXPECT_TRUE(err.str().empty());

    out.str({});
    EXPECT_EQ(listPortsCommand({}, true, Io{out, err}), kExitSuccess);
    EXPECT_TRUE(out.str().empty());
    EXPECT_EQ(err.str(), "qn480ctl: no serial ports found\n");

    // --probe: a fourth column, a JSON field, and a port it could not probe told on stderr
    // (its reason escaped) without failing the command.
    const std::vector<PortEntry> three{
        ports[0], ports[1], {"COM01", 1, "/dev/ttyS0", "/dev/ttyS0"}};
    const PortProbe probe = [](const PortEntry &port) {
        return port.number == 7     ? Probe{true, {}}
               : port.number == 100 ? Probe{false, {}}
                                    : Probe{std::nullopt, "/dev/ttyS0 is in use\nby another"};
    };
    out.str({});
    err.str({});
    EXPECT_EQ(listPortsCommand(three, false, Io{out, err}, probe), kExitSuccess);
    EXPECT_EQ(out.str(), "COM07\t/dev/pts/3\t/dev/pts/3, from QN480_PORTS\treader\n"
                         "COM100\t/dev/ttyUSB0\t/dev/ttyUSB0, FT232R \"USB\" UART\tno reader\n"
                         "COM01\t/dev/ttyS0\t/dev/ttyS0\tnot probed\n");
    EXPECT_EQ(err.str(), "qn480ctl: COM01 not probed: /dev/ttyS0 is in use\\x0Aby another\n");
    out.str({});
    EXPECT_EQ(listPortsCommand(three, true, Io{out, err}, probe), kExitSuccess);
    const auto json = splitLines(out.str());
    ASSERT_EQ(json.size(), 3u);
    EXPECT_NE(json[0].find(R"("description":"/dev/pts/3, from QN480_PORTS","reader":true})"),
              std::string::npos)
        << json[0];
    EXPECT_NE(json[1].find(R"(,"reader":false})"), std::string::npos) << json[1];
    EXPECT_NE(json[2].find(R"(,"reader":null})"), std::string::npos) << json[2];

    // A device from the environment forges no line, drives no terminal, and keeps JSON valid.
    const std::vector<PortEntry> hostile{{"COM60", 60, "/tmp/a\nCOM61=/tmp/\xff\x1b[31m", "x"}};
    out.str({});
    EXPECT_EQ(listPortsCommand(hostile, false, Io{out, err}), kExitSuccess);
    EXPECT_EQ(out.str(), "COM60\t/tmp/a\\x0ACOM61=/tmp/\\xFF\\x1B[31m\tx\n");
    out.str({});
    EXPECT_EQ(listPortsCommand(hostile, true, Io{out, err}), kExitSuccess);
    EXPECT_EQ(out.str(), R"({"name":"COM60","number":60,"device":"/tmp/a\nCOM61=/tmp/)"
                         "\xEF\xBF\xBD"
                         R"(\u001b[31m","description":"x"})"
                         "\n");
}

// What a probe takes for a reader: only a frame that answers its Get, within its time.
TEST(PortsCommand, AProbeTakesOnlyTheAnswerToItsGetForAReader)
{
    using qn480::testing::responseFrame;
    struct Case
    {
        const char *what;
        std::function<void(FakeReader &)> setUp;
        bool reader;
    };
    const std::vector<Case> cases{
        {"the Get answered", [](FakeReader &r) { r.answer(0x00, 0x10, 0x01, {0x0F}); }, true},
        {"refused, but by a QN480", [](FakeReader &r) { r.answer(0x00, 0x10, 0x02); }, true},
        {"noise before the answer",
         [](FakeReader &r) {
             r.deliver(hex("AA 13 00 FF"));
             r.answer(0x00, 0x10, 0x01, {0x0F});
         },
         true},
        {"silence", [](FakeReader &) {}, false},
        {"an adapter that echoes the line, and nothing behind it",
         [](FakeReader &r) { r.setEcho(true); }, false},
        {"an answer to another command",
         [](FakeReader &r) { r.deliver(responseFrame(0x00, 0x11, 0x01, {0x0F})); }, false},
        {"the answer after the time-out",
         [](FakeReader &r) {
             r.setDelay(kProbeTimeout + std::chrono::milliseconds(10));
             r.answer(0x00, 0x10, 0x01, {0x0F});
         },
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        FakeClock clock;
        FakeReader reader(clock);
        c.setUp(reader);
        const auto port = reader.port();
        EXPECT_EQ(answersAsReader(*port, clock), c.reader);
        ASSERT_EQ(reader.requests().size(), 1u);
        EXPECT_EQ(hexText(reader.requests().front()), "AA 00 04 00 00 00 10 14");
    }
}

TEST(UidFormsCommand, PrintsEveryFormOrWhyNot)
{
    const std::string huge = std::string(100'000, 'A') + "\u00e9";
    struct Case
    {
        std::string args;
        bool json;
        int code;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases{
        {"12:34:56:78", false, kExitSuccess,
         "hex        12345678\nhex-rev    78563412\ndec        0305419896\n"
         "dec-rev    2018915346\ndec10      0305419896\ndec10-rev  2018915346\n"
         "dec8       03430008\nw26        052,22136\n",
         ""},
        {"04A1B2 C3D4E5F6", true, kExitSuccess,
         R"({"hex":"04A1B2C3D4E5F6","hex-rev":"F6E5D4C3B2A104","dec":"01303689068602870",)"
         R"("dec-rev":"69495546249912580","dec10":null,"dec10-rev":null,"dec8":null,)"
         R"("w26":null})"
         "\n",
         ""},
        {"123", false, kExitUsage, "",
         "qn480ctl: uid-forms: \"123\" has an odd number of hexadecimal digits; write every "
         "byte as two\n"},
        {"", false, kExitUsage, "",
         "qn480ctl: uid-forms needs a UID in hexadecimal, as uid-forms 04A1B2C3D4E5F6\n"},
        // The bad character is named; a long argument is cited by its start.
        {"12-34", false, kExitUsage, "",
         "qn480ctl: uid-forms: \"12-34\": '-' is not a hexadecimal digit\n"},
        {huge, false, kExitUsage, "",
         "qn480ctl: uid-forms: \"" + std::string(80, 'A') +
             "\"\u2026: '\u00e9' is not a hexadecimal digit\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.substr(0, 20));
        std::istringstream in(c.args);
        const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        const std::vector<std::string_view> args(words.begin(), words.end());
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(uidFormsCommand(args, c.json, {out, err}), c.code);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
    }
    std::ostringstream out;
    std::ostringstream err;
    uidFormsCommand(std::vector<std::string_view>{"04A1B2C3D4E5F6"}, false, {out, err});
    EXPECT_NE(
        out.str().find(
            "\ndec10      -  (needs a 4-byte UID, not 7 bytes; hex and dec carry them all)\n"),
        std::string::npos)
        << out.str();
}

// A card log file back to the records it was written from, as CSV and a spreadsheet; a line
// that is no card event is skipped with a warning.
TEST(LogExportCommand, WritesTheLogsRecordsAsCsvAndASpreadsheet)
{
    const qn480::testing::PrivateDir dir("qn480ctl-export");
    const TypeACard card{{0x12, 0x34, 0x56, 0x78}, {0x04, 0x00}, 0x08, {}, {}, "Mifare Classic 1K"};
    const FelicaCard felica{0, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {}};
    EventSequence run;
    const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1772370309042));
    const std::vector<EventRecord> events{run.next({PresenceKind::Present, card}, at),
                                          run.next({PresenceKind::Present, felica}, at)};
    {
        std::ofstream log(dir / "cards.jsonl");
        log << eventJsonLine(events[0], {.seq = true}) << "\n{\"interface\":\"14a\"}\n"
            << eventJsonLine(events[1], {.seq = true}) << "\n";
    }
    const std::string in = dir / "cards.jsonl";
    const std::string xlsx = dir / "cards.xlsx";
    const std::string csv = dir / "cards.csv";
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(logExportCommand(parseArguments(std::vector<std::string_view>{
                                   "log", "export", in, "--xlsx", xlsx, "--csv", csv}),
                               {out, err}),
              kExitSuccess);
    EXPECT_EQ(readFile(csv), eventsCsv(events));
    EXPECT_GT(std::filesystem::file_size(xlsx), 0u);
    EXPECT_EQ(err.str(), "qn480ctl: " + in + ": event 2 skipped: no \"nfcid\"\n");
}

TEST(PollEvents, LogActAndTellWhatFailed)
{
    const qn480::testing::PrivateDir dir("qn480ctl-events");
    const std::string log = dir / "cards.jsonl";
    const std::string onPresent = "echo acted; test \"$QN480_UID\" = 0305419896 && exit 3";
    const Options options = parseArguments(std::vector<std::string_view>{
        "poll", "14a", "--uid-form", "dec10", "--log", log, "--on-present", onPresent,
        "--on-removed", "sleep 5", "--action-timeout", "0.2"});
    const TypeACard card{{0x12, 0x34, 0x56, 0x78}, {0x04, 0x00}, 0x08, {}, {}, "Mifare Classic 1K"};
    EventSequence run;
    const auto present = run.next({PresenceKind::Present, card}, kWhen);
    const auto removed = run.next({PresenceKind::Removed, card}, kWhen);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::ostringstream err;
    {
        PollEvents events(options, err, fds[1]);
        EXPECT_EQ(events.line(present),
                  kLocalWhen + " present dec10=0305419896 nfcid=12345678 atqa=0400 sak=08 "
                               "type=Mifare Classic 1K");
        events.handle(present);
        events.handle(removed);
    }
    ::close(fds[1]);
    char output[64] = {};
    EXPECT_EQ(::read(fds[0], output, sizeof output - 1), 6);
    ::close(fds[0]);
    EXPECT_EQ(std::string(output), "acted\n");
    EXPECT_EQ(splitLines(err.str()),
              (std::vector<std::string>{
                  "qn480ctl: action for present nfcid=12345678 (seq 1) exited with 3",
                  "qn480ctl: action for removed nfcid=12345678 (seq 2) ran past "
                  "--action-timeout (0.2 s) and was ended"}));
    EXPECT_EQ(splitLines(readFile(log)),
              (std::vector<std::string>{eventJsonLine(present, {.seq = true}),
                                        eventJsonLine(removed, {.seq = true})}));

    // A second stop ends the running action and drops the rest.
    std::ostringstream stoppedErr;
    PollEvents stopped(
        parseArguments(std::vector<std::string_view>{"poll", "14a", "--on-present", "sleep 30"}),
        stoppedErr);
    stopped.handle(present);
    stopped.handle(present);
    const auto stopping = std::chrono::steady_clock::now();
    stopped.finish([] { return true; });
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(5));
    EXPECT_EQ(splitLines(stoppedErr.str()).back(),
              "qn480ctl: actions not run: 1 (a full queue or a second stop dropped them)");

    // A log that cannot be written is told once, and the events still go on.
    std::ostringstream blockedErr;
    PollEvents blocked(parseArguments(std::vector<std::string_view>{"poll", "14a", "--json",
                                                                    "--log", log + "/cards.jsonl"}),
                       blockedErr);
    EXPECT_EQ(blocked.line(present), eventJsonLine(present));
    blocked.handle(present);
    blocked.handle(removed);
    blocked.finish();
    ASSERT_EQ(splitLines(blockedErr.str()).size(), 1u);
    EXPECT_TRUE(blockedErr.str().starts_with("qn480ctl: card log " + log + "/cards.jsonl: "))
        << blockedErr.str();
}

} // namespace
} // namespace qn480::cli
