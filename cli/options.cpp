// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include "connection.h"
#include "frame.h"
#include "keypad_settings.h"
#include "text_util.h"
#include "udev_rule.h"
#include "uid_forms_command.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <functional>
#include <set>

namespace qn480::cli {

namespace {

constexpr double kMaxTimeoutSeconds = 86400;

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

// The text without a "0x" or "0X" in front of more.
std::string_view withoutHexPrefix(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    return text;
}

// One byte in hexadecimal, "0A", "a" or "0x0A".
std::optional<std::uint8_t> byteIn(std::string_view text)
{
    text = withoutHexPrefix(text);
    const auto bytes = text.size() == 1 ? hexBytes("0" + std::string(text)) : hexBytes(text);
    if (!bytes || bytes->size() != 1)
        return std::nullopt;
    return bytes->front();
}

// A time in seconds, fractions allowed, from a millisecond to a day; what --timeout and
// --action-timeout take.
std::chrono::milliseconds timeoutIn(std::string_view option, std::string_view text)
{
    const std::optional<double> seconds = numberIn(text);
    if (!seconds || !(*seconds > 0) || *seconds > kMaxTimeoutSeconds) {
        throw UsageError(std::string(option) + " takes seconds from 0.001 to 86400, not " +
                         quoted(text));
    }
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(*seconds * 1000)));
}

std::string namesOf(std::span<const BitName> names)
{
    std::string list;
    for (const BitName &n : names)
        list += (list.empty() ? "" : ", ") + std::string(n.name);
    return list;
}

// "autoread,beep", "none" or "all" into the bits of `bits`, with names from `names`.
std::uint8_t parseNameList(std::string_view option, std::string_view text,
                           std::span<const BitName> names)
{
    std::uint8_t byte = 0;
    const std::string lower = lowerCase(text);
    if (lower == "all") {
        for (const BitName &n : names)
            byte |= n.mask;
        return byte;
    }
    if (lower == "none")
        return 0;
    std::size_t pos = 0;
    while (pos <= lower.size()) {
        const std::size_t comma = std::min(lower.find(',', pos), lower.size());
        const std::string_view item = std::string_view(lower).substr(pos, comma - pos);
        pos = comma + 1;
        const auto found = std::find_if(names.begin(), names.end(),
                                        [&](const BitName &n) { return n.name == item; });
        if (found == names.end()) {
            throw UsageError("--" + std::string(option) + ": unknown name " + quoted(item) +
                             "; use none, all or a comma list of " + namesOf(names));
        }
        byte |= found->mask;
    }
    return byte;
}

// An option, the commands it belongs to (none listed: every command) and what it does.
struct OptionRule
{
    std::string_view name;
    char shortName; // 0: none
    bool takesValue;
    std::vector<Command> commands;
    std::function<void(Options &, std::string_view value)> apply;
};

// poll --mqtt and the options that go with it: the station's settings.
std::vector<OptionRule> stationOptionRules()
{
    return {
        {"mqtt",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             try {
                 station::parseBrokerUrl(v);
             } catch (const station::ConnectionError &e) {
                 throw UsageError(std::string("--mqtt: ") + e.what());
             }
             o.mqtt.url = v;
         }},
        {"mqtt-password-file",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.passwordFile = v;
         }},
        {"mqtt-ca",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.ca = v;
         }},
        {"mqtt-cert",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.cert = v;
         }},
        {"mqtt-key",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.key = v;
         }},
        {"reader",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             // One topic level, and a Home Assistant object id.
             if (v.empty() || station::topicSafe(v) != v)
                 throw UsageError("--reader takes letters, digits, '-' and '_', not " + quoted(v));
             o.mqtt.reader = v;
         }},
        {"spool",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.spool = v;
         }},
        {"ha-discovery",
         0,
         false,
         {Command::Poll},
         [](Options &o, std::string_view) {
             o.mqtt.haDiscovery = true;
         }},
    };
}

const std::vector<OptionRule> &optionRules()
{
    static const std::vector<OptionRule> rules = [] {
        std::vector<OptionRule> list{
            {"json",
             'j',
             false,
             {},
             [](Options &o, std::string_view) {
                 o.json = true;
             }},
            {"trace",
             't',
             false,
             {},
             [](Options &o, std::string_view) {
                 o.trace = true;
             }},
            {"port",
             'p',
             true,
             {},
             [](Options &o, std::string_view v) {
                 if (!portNumberOf(v))
                     throw UsageError("--port takes a port name such as COM07 (qn480ctl ports "
                                      "lists them), not " +
                                      quoted(v));
                 o.port = v;
             }},
            {"device",
             'd',
             true,
             {},
             [](Options &o, std::string_view v) {
                 o.device = v;
             }},
            {"count",
             'n',
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 const auto n = decimalIn(v, 1, 1000000000);
                 if (!n)
                     throw UsageError("--count takes a number of cards from 1 on, not " +
                                      quoted(v));
                 o.count = *n;
             }},
            {"quiet",
             'q',
             false,
             {},
             [](Options &o, std::string_view) {
                 o.quiet = true;
             }},
            {"wait",
             'w',
             false,
             {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
              Command::KeypadSave, Command::KeypadLoad},
             [](Options &o, std::string_view) {
                 o.wait = true;
             }},
            {"probe",
             0,
             false,
             {Command::Ports},
             [](Options &o, std::string_view) {
                 o.probe = true;
             }},
            {"timeout",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 o.timeout = timeoutIn("--timeout", v);
             }},
            {"uid-form",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 o.uidForm = uidFormFromName(v);
                 if (!o.uidForm)
                     throw UsageError("--uid-form takes hex, hex-rev, dec, dec-rev, dec10, "
                                      "dec10-rev, dec8 or w26, not " +
                                      quoted(v));
             }},
            {"log",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 if (v.empty())
                     throw UsageError("--log needs a file, such as cards.jsonl");
                 o.logFile = v;
             }},
            {"on-present",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 if (v.empty())
                     throw UsageError("--on-present needs a command");
                 o.onPresent = v;
             }},
            {"on-removed",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 if (v.empty())
                     throw UsageError("--on-removed needs a command");
                 o.onRemoved = v;
             }},
            {"action-timeout",
             0,
             true,
             {Command::Poll},
             [](Options &o, std::string_view v) {
                 o.actionTimeout = timeoutIn("--action-timeout", v);
             }},
            {"mode",
             0,
             true,
             {Command::KeypadSet},
             [](Options &o, std::string_view v) {
                 o.changes.mode = parseNameList("mode", v, kModeNames);
             }},
            {"types",
             0,
             true,
             {Command::KeypadSet},
             [](Options &o, std::string_view v) {
                 o.changes.types = parseNameList("types", v, kTypeNames);
             }},
            {"add",
             0,
             true,
             {Command::KeypadSet},
             [](Options &o, std::string_view v) {
                 o.changes.add = parseNameList("add", v, kAddNames);
             }},
            {"format",
             0,
             true,
             {Command::KeypadSet},
             [](Options &o, std::string_view v) {
                 const auto code = formatOf(v);
                 if (!code) {
                     std::string formats;
                     for (const FormatName &f : kFormatNames)
                         formats += (formats.empty() ? "" : ", ") + std::string(f.caption);
                     throw UsageError("--format: unknown format " + quoted(v) + "; use one of " +
                                      formats + " or code 0xNN");
                 }
                 o.changes.format = static_cast<std::uint8_t>(*code);
             }},
            {"reverse",
             0,
             true,
             {Command::KeypadSet},
             [](Options &o, std::string_view v) {
                 const std::string lower = lowerCase(v);
                 if (lower == "none")
                     o.changes.reverse = kNoReversal;
                 else if (lower == "byte")
                     o.changes.reverse = kReverseByte;
                 else if (lower == "bit")
                     o.changes.reverse = kReverseBit;
                 else
                     throw UsageError("--reverse takes none, byte or bit, not " + quoted(v));
             }},
        };
        for (const TimingName &t : kTimingNames) {
            list.push_back(
                {t.option, 0, true, {Command::KeypadSet}, [t](Options &o, std::string_view v) {
                     const auto n = decimalIn(v, 0, 255);
                     if (!n) {
                         throw UsageError("--" + std::string(t.option) +
                                          " takes a count from 0 to 255 (steps of " +
                                          std::to_string(t.unitMs) + " ms), not " + quoted(v));
                     }
                     std::optional<int> &slot =
                         t.setting == KeypadSetting::SendTime   ? o.changes.sendTime
                         : t.setting == KeypadSetting::ScanTime ? o.changes.scanTime
                                                                : o.changes.sameTime;
                     slot = *n;
                 }});
        }
        const std::vector<OptionRule> station = stationOptionRules();
        list.insert(list.end(), station.begin(), station.end());
        return list;
    }();
    return rules;
}

std::string_view commandName(Command command)
{
    switch (command) {
    case Command::Help:
        return "help";
    case Command::Version:
        return "version";
    case Command::Ports:
        return "ports";
    case Command::Poll:
        return "poll";
    case Command::KeypadGet:
        return "keypad get";
    case Command::KeypadSet:
        return "keypad set";
    case Command::KeypadDefaults:
        return "keypad defaults";
    case Command::KeypadSave:
        return "keypad save";
    case Command::KeypadLoad:
        return "keypad load";
    case Command::Raw:
        return "raw";
    }
    return "?";
}

// The command that command words name, as usageText() takes it: "poll", "keypad set",
// "keypad"; empty when they name none.
std::string helpTopicOf(std::span<const std::string_view> words)
{
    if (words.empty())
        return {};
    const std::string verb = lowerCase(words[0]);
    if (verb == "help")
        return helpTopicOf(words.subspan(1));
    if (verb == "ports" || verb == "poll" || verb == "raw" || verb == "udev-rule" ||
        verb == "uid-forms")
        return verb;
    if (verb != "keypad")
        return {};
    const std::string action = words.size() > 1 ? lowerCase(words[1]) : std::string();
    for (const std::string_view known : {"get", "set", "defaults", "save", "load"}) {
        if (action == known)
            return "keypad " + action;
    }
    return "keypad";
}

// The command words of a line that asks for --help, with options and their values left
// out, whatever else is wrong with it.
std::vector<std::string_view> commandWords(std::span<const std::string_view> args)
{
    const auto &rules = optionRules();
    const auto takesValue = [&](auto matches) {
        const auto rule = std::find_if(rules.begin(), rules.end(), matches);
        return rule != rules.end() && rule->takesValue;
    };
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--")
            break;
        if (arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
        } else if (arg[1] != '-') {
            // -n3 carries its value, -n takes the next word, -jn the next word too.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                if (takesValue([&](const OptionRule &r) { return r.shortName == arg[k]; })) {
                    if (k + 1 == arg.size())
                        ++i;
                    break;
                }
            }
        } else if (arg.find('=') == std::string_view::npos &&
                   takesValue([&](const OptionRule &r) { return r.name == arg.substr(2); })) {
            ++i;
        }
    }
    return words;
}

void expectWords(const std::vector<std::string_view> &words, std::size_t count,
                 std::string_view command)
{
    if (words.size() > count) {
        throw UsageError(std::string(command) + " takes no further argument " +
                         quoted(words[count]));
    }
}

void readCommand(Options &o, const std::vector<std::string_view> &words)
{
    if (words.empty())
        throw UsageError("no command given; try qn480ctl --help");
    const std::string verb = lowerCase(words[0]);
    if (verb == "help") {
        o.command = Command::Help; // help poll: the usage of poll
        o.helpTopic = helpTopicOf(words);
    } else if (verb == "version") {
        o.command = Command::Version;
    } else if (verb == "ports") {
        o.command = Command::Ports;
        expectWords(words, 1, "ports");
    } else if (verb == "poll") {
        o.command = Command::Poll;
        if (words.size() < 2)
            throw UsageError("poll needs an air interface: 14a, 14b, felica or 15693");
        const auto air = airFromName(words[1]);
        if (!air) {
            throw UsageError("poll: unknown air interface " + quoted(words[1]) +
                             "; use 14a, 14b, felica or 15693");
        }
        o.air = *air;
        expectWords(words, 2, "poll");
    } else if (verb == "keypad") {
        const std::string action = words.size() > 1 ? lowerCase(words[1]) : std::string();
        if (action == "get")
            o.command = Command::KeypadGet;
        else if (action == "set")
            o.command = Command::KeypadSet;
        else if (action == "defaults")
            o.command = Command::KeypadDefaults;
        else if (action == "save")
            o.command = Command::KeypadSave;
        else if (action == "load")
            o.command = Command::KeypadLoad;
        else
            throw UsageError("keypad needs get, set, defaults, save or load");
        if (o.command == Command::KeypadSave || o.command == Command::KeypadLoad) {
            if (words.size() < 3 || words[2].empty())
                throw UsageError("keypad " + action + " needs a profile FILE (- for " +
                                 (action == "save" ? "stdout)" : "stdin)"));
            o.profile = words[2];
            expectWords(words, 3, "keypad " + action);
        } else {
            expectWords(words, 2, "keypad " + action);
        }
    } else if (verb == "raw") {
        o.command = Command::Raw;
        if (words.size() < 3)
            throw UsageError("raw needs a command group and code in hexadecimal, as raw 00 10");
        const auto group = byteIn(words[1]);
        const auto code = byteIn(words[2]);
        if (!group)
            throw UsageError("raw: the group " + quoted(words[1]) + " is not a hexadecimal byte");
        if (!code)
            throw UsageError("raw: the code " + quoted(words[2]) + " is not a hexadecimal byte");
        o.group = *group;
        o.code = *code;
        std::string data;
        for (std::size_t i = 3; i < words.size(); ++i)
            data += std::string(words[i]) + " ";
        o.data = parseHexBytes(data);
    } else {
        throw UsageError("unknown command " + quoted(words[0]) +
                         "; the commands are ports, poll, keypad and raw");
    }
}

} // namespace

std::string quoted(std::string_view text)
{
    return "\"" + escapedText(text) + "\"";
}

std::optional<int> portNumberOf(std::string_view name)
{
    if (name.size() < 4 || lowerCase(name.substr(0, 3)) != "com")
        return std::nullopt;
    return decimalIn(name.substr(3), 1, 99999);
}

ReaderChoice chooseReader(const Options &options, std::string_view fromEnvironment)
{
    ReaderChoice choice{options.device, options.port};
    if (choice.device.empty() && choice.port.empty())
        (portNumberOf(fromEnvironment) ? choice.port : choice.device) = fromEnvironment;
    // "The only serial port" of a PC is its on-board ttyS0, whatever hangs there: settings
    // and raw bytes go only where the user said.
    if (choice.device.empty() && choice.port.empty() && options.writesToReader()) {
        throw UsageError(std::string(commandName(options.command)) +
                         " writes to the reader, so it needs its port: --port COMnn, "
                         "--device PATH or " +
                         kDeviceVariable);
    }
    return choice;
}

std::vector<std::uint8_t> parseHexBytes(std::string_view text)
{
    std::vector<std::uint8_t> bytes;
    std::size_t pos = 0;
    const auto separator = [](char c) {
        return c == ' ' || c == ':' || c == ',' || c == '\t';
    };
    while (pos < text.size()) {
        if (separator(text[pos])) {
            ++pos;
            continue;
        }
        std::size_t end = pos;
        while (end < text.size() && !separator(text[end]))
            ++end;
        std::string_view word = text.substr(pos, end - pos);
        pos = end;
        word = withoutHexPrefix(word);
        if (word.size() % 2 != 0) {
            throw UsageError("data: " + quoted(word) +
                             " has an odd number of hexadecimal digits; write every byte as two");
        }
        const auto wordBytes = hexBytes(word);
        if (!wordBytes)
            throw UsageError("data: " + quoted(word) + " is not hexadecimal");
        bytes.insert(bytes.end(), wordBytes->begin(), wordBytes->end());
    }
    if (bytes.size() > static_cast<std::size_t>(kMaxRequestData)) {
        throw UsageError("data: " + std::to_string(bytes.size()) +
                         " bytes; a request takes at most " + std::to_string(kMaxRequestData));
    }
    return bytes;
}

Options parseArguments(std::span<const std::string_view> args)
{
    Options o;
    for (std::string_view arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            // Command::Help, whatever else is there; after a command, its usage alone.
            o.helpTopic = helpTopicOf(commandWords(args));
            return o;
        }
        if (arg == "--version" || arg == "-V") {
            o.command = Command::Version;
            return o;
        }
    }

    const auto &rules = optionRules();
    std::vector<std::string_view> words;
    std::set<std::string_view> given;
    // Applies one option; `value` is what was attached to it, if anything.
    const auto take = [&](const OptionRule &rule, std::string_view shown,
                          std::optional<std::string_view> value, std::size_t &i) {
        if (!given.insert(rule.name).second)
            throw UsageError("--" + std::string(rule.name) + " is given twice");
        if (rule.takesValue && !value) {
            if (i + 1 >= args.size())
                throw UsageError(std::string(shown) + " needs a value");
            value = args[++i];
        } else if (!rule.takesValue && value) {
            throw UsageError(std::string(shown) + " takes no value");
        }
        rule.apply(o, value.value_or(std::string_view{}));
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] != '-') {
            // Short options as getopt reads them: -jq, -n3, -n 3, -p COM07.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const auto rule =
                    std::find_if(rules.begin(), rules.end(), [&](const OptionRule &r) {
                        return r.shortName != 0 && r.shortName == arg[k];
                    });
                if (rule == rules.end()) {
                    throw UsageError("unknown option " + quoted(std::string("-") + arg[k]) +
                                     "; try qn480ctl --help");
                }
                std::optional<std::string_view> value;
                if (rule->takesValue && k + 1 < arg.size())
                    value = arg.substr(k + 1);
                take(*rule, "--" + std::string(rule->name), value, i);
                if (rule->takesValue)
                    break;
            }
            continue;
        }
        std::string_view name = arg.substr(2);
        std::optional<std::string_view> value;
        if (const auto eq = name.find('='); eq != std::string_view::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto rule = std::find_if(rules.begin(), rules.end(),
                                       [&](const OptionRule &r) { return r.name == name; });
        if (rule == rules.end())
            throw UsageError("unknown option " + quoted(arg) + "; try qn480ctl --help");
        take(*rule, "--" + std::string(name), value, i);
    }

    readCommand(o, words);

    for (const OptionRule &rule : optionRules()) {
        if (given.count(rule.name) == 0 || rule.commands.empty())
            continue;
        if (std::find(rule.commands.begin(), rule.commands.end(), o.command) ==
            rule.commands.end()) {
            throw UsageError("--" + std::string(rule.name) + " is an option of " +
                             std::string(commandName(rule.commands.front())) + ", not of " +
                             std::string(commandName(o.command)));
        }
    }
    if (!o.port.empty() && !o.device.empty())
        throw UsageError("give either --port or --device, not both");
    if (given.count("port") != 0 && o.port.empty())
        throw UsageError("--port needs a port name such as COM07");
    if (given.count("device") != 0 && o.device.empty())
        throw UsageError("--device needs a path such as /dev/ttyUSB0");
    for (const std::string_view name : {"mqtt-password-file", "mqtt-ca", "mqtt-cert", "mqtt-key",
                                        "reader", "spool", "ha-discovery"}) {
        if (given.count(name) != 0 && o.mqtt.url.empty())
            throw UsageError("--" + std::string(name) + " goes with --mqtt URL");
    }
    if (o.mqtt.url.starts_with("mqtt://") &&
        (!o.mqtt.ca.empty() || !o.mqtt.cert.empty() || !o.mqtt.key.empty()))
        throw UsageError("--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL");
    if (o.mqtt.cert.empty() != o.mqtt.key.empty())
        throw UsageError("--mqtt-cert and --mqtt-key go together");
    if (o.command == Command::KeypadSet && !o.changes.any()) {
        throw UsageError("keypad set needs at least one of --mode, --types, --format, --reverse, "
                         "--add, --send-time, --scan-time, --same-card-time");
    }
    return o;
}

namespace {

// The full text.
std::string wholeUsage()
{
    return R"(Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] COMMAND

Scripted access to a QN480 contactless card reader on a serial port (115200 baud, 8N1),
running the same procedures as the qn480-tool window.

Commands:
  ports                       list the serial ports: COM name, device and description
      --probe                 send each port that is free one harmless Get (of the
                              mode) and mark those where a QN480 answered within 200 ms:
                              a fourth column "reader" or "no reader" ("not probed"
                              when the port is in use or cannot be opened, with the
                              reason on stderr); JSON: reader true, false or null
  poll 14a|14b|felica|15693   configure the reader, switch the carrier on and poll until
                              Ctrl-C; one line when a card arrives ("present") and one
                              when it leaves ("removed"). A card counts as removed once
                              it has been missing for two passes and 100 ms; it arrives
                              again only after that, or when its UID differs. Ctrl-C ends
                              the current pass, switches the carrier off and exits 0.
      -n, --count N           stop after N arrivals
      --timeout SECONDS       give up after SECONDS (decimals allowed): exit 4 when fewer
                              than N cards came (without --count: when none came)
      --mqtt URL              also publish each event to an MQTT broker, URL
                              mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...: topics
                              PREFIX/READER/event, uid, cards and status. Each event
                              waits in a spool until the broker has it; none is lost
                              while the broker is away
      --mqtt-password-file F  the broker's password (else $QN480_MQTT_PASSWORD)
      --mqtt-ca F, --mqtt-cert F, --mqtt-key F
                              mqtts: the CA's certificate (default: the system's), and
                              a client certificate with its key
      --reader NAME           the reader's name in topics (default: the adapter's
                              serial number, else the device's name)
      --spool DIR             where events wait (default:
                              $XDG_STATE_HOME/qn480/spool/READER)
      --ha-discovery          announce the reader to Home Assistant as a tag scanner
      --uid-form FORM         text lines lead with the UID in FORM (see uid-forms;
                              "-" where it cannot apply); JSON lines gain "forms"
      --log FILE              append every event to FILE as a JSON line, flushed to
                              disk; rotated at 10 MiB, 5 files kept (FILE.1 to .4)
      --on-present CMD        run CMD with /bin/sh -c for each arrival; the card is in
      --on-removed CMD        the environment only: QN480_EVENT, QN480_INTERFACE,
                              QN480_UID, QN480_NFCID, QN480_TYPE, QN480_TIME, QN480_JSON.
                              One at a time, in order, beside polling; its stdout goes
                              to stderr. At exit queued ones finish; a second Ctrl-C
                              ends them.
      --action-timeout SECONDS  end an action after SECONDS (10): SIGTERM, then SIGKILL
  keypad get                  the six keyboard-mode settings
  keypad set [options]        send only the settings given, then read all six back
      --mode LIST             autoread, beep, led, samecard
      --types LIST            14a, 14b, felica, 15693, guid
      --format F              14H 5D 6H 8D 8H 10D 10H 13D 16H 4D 32H, or "code 0xNN"
                              for a code without a button in the window
      --reverse R             none, byte or bit
      --add LIST              comma, brackets, quotes, space, tab, down, ctrl-enter, enter
                              (none is sent as enter, as the window does)
      --send-time N           0-255, steps of 1 ms
      --scan-time N           0-255, steps of 10 ms
      --same-card-time N      0-255, steps of 100 ms
                              A LIST is comma-separated, or none, or all. A part of
                              --format/--reverse/--add not given is sent back as the
                              reader holds it, byte for byte.
  keypad defaults             what the window's "default" button does: write the default
                              settings, then read all six back
  keypad save FILE            write the six settings to a profile (- for stdout): JSON
                              with the names of keypad get --json
  keypad load FILE            send what the profile holds (- for stdin), read all six back
                              and exit 1, naming each difference, if the reader did not
                              keep it. A bad profile: one line naming the field, exit 2,
                              nothing sent. A refused Set: the changes are written back.
  raw GROUP CODE [HEXBYTES]   one transaction; GROUP, CODE and the data in hexadecimal
                              (raw 0D 10 0000); prints result, status, status text, data
)" + std::string(kUdevRuleUsage) +
           std::string(kUidFormsUsage) +
           R"(
Options:
  -p, --port COMnn     the port by the name `qn480ctl ports` shows
  -d, --device PATH    a serial device by its path, listed or not
                       Without either, QN480_DEVICE (a COM name or a path) names the
                       reader; without that, the only serial port there is is used and
                       named on stderr (an error when there are several). Commands that
                       write (keypad set, defaults and load, raw) never guess: they need
                       one of the three.
  -t, --trace          every request (>>) and response (<<) frame in hexadecimal, with
                       the local time, on stderr
  -j, --json           one JSON object per line instead of text
  -q, --quiet          no progress messages on stderr; errors still go there
  -w, --wait           (poll and keypad) a reader that is not there at start, or is
                       unplugged later, is waited for; the command starts again when it
                       is back. Any failure to open the port is waited out (a busy port,
                       permission not yet given), each new reason told once on stderr;
                       a poll whose reader does not answer yet after it came is tried
                       again. Only a usage error or a stop signal ends the wait.
  -h, --help           this text; after a command (poll --help), that command's usage
  -V, --version        the version
Options may stand before or after the command; a value may follow an equals sign
(--count=3) or a short option (-n3); short options combine (-jq).
Status messages of the reader procedures go to stderr, results to stdout.

Text lines of poll begin with the local time and the event, then the card as other NFC
tools print it: 14a nfcid (UID in the order the card sends it, 4, 7 or 10 bytes), atqa
(both bytes as received), sak, ats (when the card gave one), type; 14b pupi, app_data,
info; felica idm, slot, sub_response; 15693 uid_msb (most significant byte first, as on
the card's label), dsfid.

JSON fields (each line one object; the names do not change between versions):
  ports            name, number, device, description; with --probe also reader
  poll 14a         interface, uid, atqa, sak, type (the window's forms: uid reversed and
                   filled to 8 bytes, or 10 for a 10-byte UID; atqa its first byte),
                   nfcid, atqa_bytes, ats (only when the card gave one)
  poll 14b         interface, pupi, app_data, info
  poll felica      interface, slot, sub_response, uid, idm
  poll 15693       interface, dsfid, uid (in the order received), uid_msb
  poll, every line event ("present" or "removed"), time (ISO 8601, UTC, milliseconds)
                   (bytes as upper-case hexadecimal without blanks)
  poll --uid-form  also forms: hex, hex-rev, dec, dec-rev, dec10, dec10-rev, dec8, w26,
                   null where a form cannot apply (the same object as uid-forms -j)
  keypad           mode, types, add (arrays of names), format ("8H", or "code 0x0B" for
                   a code without a button), reverse (none, byte, bit or both),
                   send_time, scan_time, same_card_time (counts) and send_time_ms,
                   scan_time_ms, same_card_time_ms; a setting that could not be read is
                   null and its message is in errors, keyed mode, types, addtype,
                   send_time, scan_time or same_card_time. The object is a valid profile.

Environment:
  QN480_DEVICE     the reader when neither --port nor --device is given
  QN480_PORTS      extra port list entries, COMnn=PATH separated by semicolons
  QN480_SERIAL_BACKEND  qt or termios: the serial port code (termios is Linux's default)

Exit codes:
  0  success
  1  the reader reported an error, answered with a reply that could not be used,
     or did not keep a setting; or the output could not be written; or an
     unexpected failure (the port is given back first)
  2  usage: the command line or a profile is wrong
  3  the port could not be opened, or the reader was disconnected (unplugged)
  4  no answer from the reader, or --timeout ran out
  128+N  stopped by signal N (SIGINT, SIGTERM, SIGHUP), but for poll's Ctrl-C and SIGTERM
)";
}

// The lines of the Commands section whose command starts with `topic` ("keypad" gives
// every keypad command): a command's first line starts at the third column, its further
// lines further in.
std::string commandLines(const std::string &whole, std::string_view topic)
{
    const std::size_t begin = whole.find("\nCommands:\n");
    const std::size_t end = whole.find("\nOptions:\n");
    std::string lines;
    bool inTopic = false;
    for (std::size_t pos = begin + 11; pos < end;) {
        const std::size_t next = whole.find('\n', pos) + 1;
        const std::string_view line = std::string_view(whole).substr(pos, next - pos);
        if (line.size() > 2 && line[2] != ' ') {
            const std::string_view command = line.substr(2);
            inTopic = command.starts_with(topic) &&
                      (command.size() == topic.size() || command[topic.size()] == ' ');
        }
        if (inTopic)
            lines += line;
        pos = next;
    }
    return lines;
}

} // namespace

std::string usageText(std::string_view topic)
{
    if (topic == "udev-rule")
        return "Usage: qn480ctl udev-rule [--device PATH]\n" + std::string(kUdevRuleUsage);
    if (topic == "uid-forms")
        return "Usage: qn480ctl [-j] uid-forms HEX\n" + std::string(kUidFormsUsage);
    const std::string whole = wholeUsage();
    const std::string lines = topic.empty() ? std::string() : commandLines(whole, topic);
    if (lines.empty())
        return whole;
    const bool ports = topic == "ports";
    const bool waits = topic == "poll" || topic.starts_with("keypad");
    Options command;
    command.command = topic == "raw"               ? Command::Raw
                      : topic == "keypad set"      ? Command::KeypadSet
                      : topic == "keypad defaults" ? Command::KeypadDefaults
                      : topic == "keypad load"     ? Command::KeypadLoad
                                                   : Command::Poll;
    const std::string synopsis =
        topic == "keypad" ? "keypad ..." : lines.substr(2, lines.find("  ", 2) - 2);
    std::string text = "Usage: qn480ctl " +
                       std::string(ports ? "[-j] [-q] " : "[-p COMnn | -d PATH] [-t] [-j] [-q] ") +
                       (waits ? "[-w] " : "") + synopsis + "\n\n" + lines + "\n";
    if (topic == "keypad")
        text += "The reader's port: -p COMnn, -d PATH or QN480_DEVICE; get and save may take "
                "the only\nserial port there is, the others never guess.\n";
    else if (command.writesToReader())
        text += "The reader's port: -p COMnn, -d PATH or QN480_DEVICE; never guessed.\n";
    else if (!ports)
        text += "The reader's port: -p COMnn, -d PATH or QN480_DEVICE, else the only serial "
                "port there is.\n";
    return text + "The options of every command, the exit codes and the JSON fields: qn480ctl "
                  "--help.\n";
}

std::string versionText()
{
    return "qn480ctl " QN480_VERSION "\n";
}

} // namespace qn480::cli
