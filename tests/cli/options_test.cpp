// SPDX-License-Identifier: GPL-3.0-or-later
// What qn480ctl makes of its command line: the commands, the options in any place, and one
// clear line for everything it cannot run.

#include "command_model.h"
#include "keypad_settings.h"
#include "text_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qn480::cli {
namespace {

using testing::optionNamesIn;
using testing::readFile;

Options parse(std::vector<std::string_view> args)
{
    return parseArguments(args);
}

// A command line of blank-separated words.
Options parseLine(const std::string &line)
{
    std::istringstream in(line);
    const std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    return parse({words.begin(), words.end()});
}

// The line that stops a command line, or "(accepted)"; the port is chosen as without
// QN480_DEVICE.
std::string usageError(const std::string &line)
{
    try {
        chooseReader(parseLine(line), "");
    } catch (const UsageError &error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(Options, ReadsEachCommandWithItsArguments)
{
    const Options poll = parse({"--port", "COM07", "poll", "FeliCa", "--count=3", "--json"});
    EXPECT_EQ(poll.command, Command::Poll);
    EXPECT_EQ(poll.air, AirInterface::Felica);
    EXPECT_EQ(poll.count, 3);
    EXPECT_TRUE(poll.json);
    EXPECT_EQ(poll.port, "COM07");

    // The station's options, as its own tests hand them over; --ha-discovery only here.
    const Options station = parse({"poll", "14a", "--mqtt", "mqtt://b/p", "--ha-discovery"});
    EXPECT_EQ(station.mqtt.url, "mqtt://b/p");
    EXPECT_TRUE(station.mqtt.haDiscovery);

    const Options raw = parse({"--device", "/dev/ttyUSB0", "raw", "0x0d", "10", "00:00", "FF"});
    EXPECT_EQ(raw.command, Command::Raw);
    EXPECT_EQ(raw.device, "/dev/ttyUSB0");
    EXPECT_EQ(raw.group, 0x0D);
    EXPECT_EQ(raw.code, 0x10);
    EXPECT_EQ(raw.data, (std::vector<std::uint8_t>{0x00, 0x00, 0xFF}));

    // The commands without a reader, with the options of every command before them.
    const Options forms = parse({"-q", "uid-forms", "04A1", "B2C3", "-j"});
    EXPECT_EQ(forms.command, Command::UidForms);
    EXPECT_EQ(forms.uidWords, (std::vector<std::string>{"04A1", "B2C3"}));
    EXPECT_TRUE(forms.quiet && forms.json && !forms.needsReader());
    EXPECT_EQ(parse({"udev-rule", "-d", "/dev/ttyUSB1"}).device, "/dev/ttyUSB1");

    // keypad set gives what it names, as the page shows the names; no addition is Enter.
    const Options set = parse({"keypad", "set", "--mode", "AutoRead,LED", "--types", "all",
                               "--format", "13d", "--reverse", "byte", "--add", "comma,ctrl-enter",
                               "--send-time", "0", "--scan-time=255", "--same-card-time", "15"});
    ASSERT_EQ(set.command, Command::KeypadSet);
    const KeypadPatch &p = set.keypad;
    EXPECT_EQ(p.mode, 0x05);
    EXPECT_EQ(p.types, 0x1F);
    EXPECT_EQ(p.format, 8);
    EXPECT_EQ(p.reverse, kReverseByte);
    EXPECT_EQ(p.add, 0x41);
    EXPECT_EQ(p.sendTime, 0);
    EXPECT_EQ(p.scanTime, 255);
    EXPECT_EQ(p.sameTime, 15);
    const KeypadPatch some = parse({"keypad", "set", "--add", "none"}).keypad;
    EXPECT_EQ(some.add, kAddEnter);
    EXPECT_FALSE(some.completeAddType() || some.mode.has_value());
}

TEST(Options, ShortOptionsReadAsPeersWriteThem)
{
    const Options o = parse({"-jqt", "-pCOM3", "poll", "14a", "-n", "2", "--timeout=1.5"});
    EXPECT_TRUE(o.json && o.quiet && o.trace);
    EXPECT_EQ(o.port, "COM3");
    EXPECT_EQ(o.count, 2);
    EXPECT_EQ(o.timeout, std::chrono::milliseconds(1500));
    EXPECT_EQ(parse({"-d", "/dev/ttyUSB0", "-n3", "poll", "15693"}).count, 3);
    EXPECT_EQ(parse({"keypad", "save", "-"}).profile, "-");
    EXPECT_EQ(parse({"poll", "--version"}).command, Command::Version);
    EXPECT_EQ(parse({"-V"}).command, Command::Version);
}

TEST(Options, HelpWinsOverEverythingElseOnTheLine)
{
    EXPECT_EQ(parse({"poll", "nonsense", "--help"}).command, Command::Help);
    EXPECT_EQ(parse({"-h"}).command, Command::Help);

    // After a command, its usage alone: the command's lines, not the others'.
    struct Case
    {
        std::string args; // blank-separated words
        std::string topic;
        std::string usage; // the start of the text
    };
    const std::vector<Case> cases{
        {"--help", "", "Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] COMMAND\n"},
        {"poll --help", "poll",
         "Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] poll 14a|14b|felica|15693\n"},
        {"-d /dev/ttyUSB0 -n 3 poll 14a -h", "poll", "Usage:"},
        {"help raw", "raw", "Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] raw GROUP"},
        {"--port=COM07 KEYPAD Set --help --mode", "keypad set",
         "Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] keypad set [options]\n"},
        {"-j uid-forms -h", "uid-forms", "Usage: qn480ctl [-j] [-q] uid-forms HEX\n"},
        {"scan --help", "", "Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] COMMAND"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const Options o = parseLine(c.args);
        EXPECT_EQ(o.command, Command::Help);
        EXPECT_EQ(o.helpTopic, c.topic);
        const std::string text = usageText(o.helpTopic);
        EXPECT_EQ(text.rfind(c.usage, 0), 0u) << text;
        if (c.topic.empty())
            continue;
        EXPECT_EQ(text.find("Exit codes:"), std::string::npos) << text;
        EXPECT_NE(text.find("\n  " + c.topic), std::string::npos) << text;
        for (const std::string_view other :
             {"\n  ports", "\n  poll", "\n  keypad", "\n  raw", "\n  log", "\n  uid-forms"}) {
            if (!std::string(other).starts_with("\n  " + c.topic.substr(0, c.topic.find(' ')))) {
                EXPECT_EQ(text.find(other), std::string::npos) << other;
            }
        }
    }
    // Only the write commands' usage says that they never guess the port.
    EXPECT_NE(usageText("keypad load").find("never guessed"), std::string::npos);
    EXPECT_EQ(usageText("keypad get").find("never guessed"), std::string::npos);
}

TEST(Options, BadArgumentsGiveOneLineThatSaysWhy)
{
    // The data that one request carries, and a byte more.
    const std::string full(2 * 1016, 'A');
    const std::string over(2 * 1017, 'A');
    struct Case
    {
        std::string args; // blank-separated words
        std::string expected;
    };
    const std::vector<Case> cases{
        {"", "no command given; try qn480ctl --help"},
        {"scan", "unknown command \"scan\"; the commands are ports, poll, keypad, raw, udev-rule, "
                 "uid-forms and log"},
        {"poll", "poll needs an air interface: 14a, 14b, felica or 15693"},
        {"poll 14c", "poll: unknown air interface \"14c\"; use 14a, 14b, felica or 15693"},
        {"poll 14a --count 0", "--count takes a number of cards from 1 on, not \"0\""},
        {"poll 14a --count", "--count needs a value"},
        {"keypad", "keypad needs get, set, defaults, save or load"},
        {"keypad load", "keypad load needs a profile FILE (- for stdin)"},
        {"poll 14a --timeout 0", "--timeout takes seconds from 0.001 to 86400, not \"0\""},
        {"poll 14a -x", "unknown option \"-x\"; try qn480ctl --help"},
        {"keypad get --timeout 1", "keypad --timeout goes with --mqtt URL"},
        {"keypad save - --mqtt mqtt://b/p", "--mqtt is an option of poll, not of keypad save"},
        {"keypad set",
         "keypad set needs at least one of --mode, --types, --format, --reverse, --add, "
         "--send-time, --scan-time, --same-card-time"},
        {"keypad set --mode auto",
         "--mode: unknown name \"auto\"; use none, all or a comma list of autoread, beep, led, "
         "samecard"},
        {"keypad set --types 14a,,14b",
         "--types: unknown name \"\"; use none, all or a comma list of 14a, 14b, felica, 15693, "
         "guid"},
        {"keypad set --format 11",
         "--format: unknown format \"11\"; use one of 14H, 5D, 6H, 8D, 8H, 10D, 10H, 13D, 16H, "
         "4D, 32H or code 0xNN"},
        {"keypad set --reverse both", "--reverse takes none, byte or bit, not \"both\""},
        {"keypad set --send-time 256",
         "--send-time takes a count from 0 to 255 (steps of 1 ms), not \"256\""},
        {"raw 00", "raw needs a command group and code in hexadecimal, as raw 00 10"},
        {"raw 100 10", "raw: the group \"100\" is not a hexadecimal byte"},
        {"-p COM07 raw 00 10 " + full, "(accepted)"},
        {"-p COM07 raw 00 10 " + over, "data: 1017 bytes; a request takes at most 1016"},
        {"raw 00 10 ABC",
         "data: \"ABC\" has an odd number of hexadecimal digits; write every byte as two"},
        {"--port ttyUSB0 keypad get",
         "--port takes a port name such as COM07 (qn480ctl ports lists them), not \"ttyUSB0\""},
        {"--port COM1 --device /dev/ttyS0 keypad get", "give either --port or --device, not both"},
        {"--device= keypad get", "--device needs a path such as /dev/ttyUSB0"},
        {"--json --json ports", "--json is given twice"},
        {"poll 14a --mqtt mqtt://u:pw@broker/plant",
         "--mqtt: the broker URL holds a password; give it in QN480_MQTT_PASSWORD or "
         "--mqtt-password-file instead"},
        {"poll 14a --reader gate1", "--reader goes with --mqtt URL"},
        // ... and with a flag, which has no value to name.
        {"keypad load - --clear", "--clear goes with --fleet"},
        {"poll 14a --mqtt mqtt://b/p --reader gate/1",
         "--reader takes letters, digits, '-' and '_', not \"gate/1\""},
        {"poll 14a --mqtt mqtt://b/p --mqtt-ca ca.pem",
         "--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL"},
        {"poll 14a --mqtt mqtts://b/p --mqtt-cert c.pem", "--mqtt-cert and --mqtt-key go together"},
        {"keypad get --mqtt mqtt://b/p",
         "keypad --mqtt needs --reader NAME, or keypad load --fleet"},
        {"poll 14a --uid-form dec9",
         "--uid-form takes hex, hex-rev, dec, dec-rev, dec10, dec10-rev, dec8 or w26, not "
         "\"dec9\""},
        // A command that writes is never sent to a port it guessed; one that reads may be.
        {"keypad defaults",
         "keypad defaults writes to the reader, so it needs its port: --port COMnn, --device "
         "PATH or QN480_DEVICE"},
        {"raw 00 10",
         "raw writes to the reader, so it needs its port: --port COMnn, --device PATH or "
         "QN480_DEVICE"},
        {"udev-rule --bogus\x1b]0;x\x07",
         "unknown option \"--bogus\\x1B]0;x\\x07\"; try qn480ctl --help"},
        // The options of every command go before any command, acting where they can.
        {"-t -p COM1 uid-forms 04", "(accepted)"},
        {"log", "log needs export"},
        {"log export a.jsonl", "log export needs at least one of --xlsx, --csv"},
        {"log export a.jsonl --xlsx -", "--xlsx writes a file, not stdout"},
        {"log export a b --csv=-", "log export reads one file, not \"b\" as well"},
        {"-p COM07 raw 00 10", "(accepted)"},
        {"keypad load -d /dev/ttyUSB0 p.json", "(accepted)"},
        {"keypad save p.json", "(accepted)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        const std::string message = usageError(c.args);
        EXPECT_EQ(message, c.expected);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

TEST(Options, TheReaderIsNamedByDeviceOrComName)
{
    // QN480_DEVICE names the reader by either; the command line wins over it.
    const Options raw = parse({"raw", "00", "10"});
    EXPECT_EQ(chooseReader(raw, "com7").port, "com7");
    EXPECT_EQ(chooseReader(raw, "/dev/ttyUSB0").device, "/dev/ttyUSB0");
    const ReaderChoice given = chooseReader(parse({"-p", "COM3", "raw", "00", "10"}), "/dev/x");
    EXPECT_EQ(given.port, "COM3");
    EXPECT_EQ(given.device, "");
}

// The manual page and the completion name the options the parser takes, and no others.
TEST(Options, TheManualPageAndTheCompletionNameWhatTheParserTakes)
{
#if !defined(QN480CTL_PAGE)
    GTEST_SKIP() << "no manual page made in this build";
#else
    std::set<std::string> taken{"-h", "--help", "-V", "--version"};
    for (const OptionRow &option : optionRows()) {
        const std::string name = "--" + std::string(option.name);
        taken.insert(name);
        if (option.shortName != 0)
            taken.insert(std::string("-") + option.shortName);
        const std::string refusal = usageError(name);
        EXPECT_EQ(refusal.find("unknown option"), std::string::npos) << refusal;
    }

    // The synopsis, and the option entries: the line after each .TP.
    std::string page = readFile(QN480CTL_PAGE);
    for (std::size_t at; (at = page.find("\\-")) != std::string::npos;)
        page.erase(at, 1);
    std::string named = page.substr(page.find(".SH SYNOPSIS"),
                                    page.find(".SH DESCRIPTION") - page.find(".SH SYNOPSIS"));
    const std::string options = page.substr(page.find(".SH OPTIONS"));
    for (std::size_t at = 0; (at = options.find(".TP\n", at)) != std::string::npos; at += 4)
        named += options.substr(at + 4, options.find('\n', at + 4) - at - 4) + "\n";
    EXPECT_EQ(optionNamesIn(named), taken);

    // The options offered after each command, and those whose value is completed.
    const std::string script = readFile(QN480CTL_COMPLETION);
    std::string offered;
    static const std::regex lists(R"re((options\+?=|takesValue=)"([^"]*)"|\n +(-[^)\n]*)\)\n)re");
    for (auto it = std::sregex_iterator(script.begin(), script.end(), lists);
         it != std::sregex_iterator(); ++it)
        offered += std::string((*it)[2]) + " " + std::string((*it)[3]) + " ";
    std::replace(offered.begin(), offered.end(), '|', ' ');
    EXPECT_EQ(optionNamesIn(offered), taken);
#endif
}

} // namespace
} // namespace qn480::cli
