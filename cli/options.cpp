// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

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

// "autoread,beep", "none" or "all" as one byte: the masks of the `names` it lists.
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
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             try {
                 station::parseBrokerUrl(v);
             } catch (const station::ConnectionError &e) {
                 throw UsageError("--mqtt: " + stationErrorText(e));
             }
             o.mqtt.url = v;
         }},
        {"mqtt-password-file",
         0,
         true,
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             o.mqtt.passwordFile = v;
         }},
        {"mqtt-ca",
         0,
         true,
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             o.mqtt.ca = v;
         }},
        {"mqtt-cert",
         0,
         true,
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             o.mqtt.cert = v;
         }},
        {"mqtt-key",
         0,
         true,
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             o.mqtt.key = v;
         }},
        {"reader",
         0,
         true,
         {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
          Command::KeypadLoad},
         [](Options &o, std::string_view v) {
             try {
                 station::checkReaderName(v);
             } catch (const station::ConnectionError &) {
                 throw UsageError("--reader takes letters, digits, '-' and '_', not " + quoted(v));
             }
             o.mqtt.reader = v;
         }},
        {"spool",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.spool = v;
         }},
        {"remote-keypad",
         0,
         false,
         {Command::Poll},
         [](Options &o, std::string_view) {
             o.mqtt.remoteKeypad = true;
         }},
        {"fleet",
         0,
         false,
         {Command::KeypadLoad},
         [](Options &o, std::string_view) {
             o.fleet = true;
         }},
        {"clear",
         0,
         false,
         {Command::KeypadLoad},
         [](Options &o, std::string_view) {
             o.clear = true;
         }},
        {"ha-discovery",
         0,
         false,
         {Command::Poll},
         [](Options &o, std::string_view) {
             o.mqtt.haDiscovery = true;
         }},
        {"delivery-timeout",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.deliveryTimeout = timeoutIn("--delivery-timeout", v);
         }},
        {"uid-max-age",
         0,
         true,
         {Command::Poll},
         [](Options &o, std::string_view v) {
             o.mqtt.uidMaxAge = timeoutIn("--uid-max-age", v);
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
             {Command::Poll, Command::KeypadGet, Command::KeypadSet, Command::KeypadDefaults,
              Command::KeypadLoad},
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
        verb == "uid-forms" || verb == "log")
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

std::string stationErrorText(const station::ConnectionError &error)
{
    using Fault = station::ConnectionError::Fault;
    switch (error.fault()) {
    case Fault::PasswordInUrl:
        return error.what() + std::string("; give it in ") + station::kPasswordVariable +
               " or --mqtt-password-file instead";
    case Fault::TlsNeedsMqtts:
        return "--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL";
    case Fault::CertWithoutKey:
        return "--mqtt-cert and --mqtt-key go together";
    case Fault::NoSpoolFolder:
        return error.what() + std::string(", or give --spool DIR");
    case Fault::Other:
        break;
    }
    return error.what();
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
        for (std::size_t at = 0; at < word.size();) {
            const std::size_t start = at;
            if (hexDigitValue(word[at++]) >= 0)
                continue;
            at = start;
            nextCodePoint(word, at);
            throw UsageError("data: " + quoted(word) + ": '" +
                             escapedText(word.substr(start, at - start)) +
                             "' is not a hexadecimal digit");
        }
        if (word.size() % 2 != 0) {
            throw UsageError("data: " + quoted(word) +
                             " has an odd number of hexadecimal digits; write every byte as two");
        }
        const auto wordBytes = hexBytes(word);
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
    for (const std::string_view name :
         {"mqtt-password-file", "mqtt-ca", "mqtt-cert", "mqtt-key", "reader", "spool",
          "ha-discovery", "delivery-timeout", "uid-max-age", "remote-keypad", "fleet", "clear"}) {
        if (given.count(name) != 0 && o.mqtt.url.empty())
            throw UsageError("--" + std::string(name) + " goes with --mqtt URL");
    }
    if (o.clear && !o.fleet)
        throw UsageError("--clear goes with --fleet");
    if (o.command != Command::Poll && o.timeout && o.mqtt.url.empty())
        throw UsageError("keypad --timeout goes with --mqtt URL");
    if (o.command != Command::Poll && !o.mqtt.url.empty() && o.mqtt.reader.empty() && !o.fleet)
        throw UsageError("keypad --mqtt needs --reader NAME, or keypad load --fleet");
    try {
        if (!o.mqtt.url.empty())
            station::checkTlsSettings(station::parseBrokerUrl(o.mqtt.url).tls, o.mqtt.ca,
                                      o.mqtt.cert, o.mqtt.key);
    } catch (const station::ConnectionError &e) {
        throw UsageError(stationErrorText(e));
    }
    if (o.command == Command::KeypadSet && !o.changes.any()) {
        throw UsageError("keypad set needs at least one of --mode, --types, --format, --reverse, "
                         "--add, --send-time, --scan-time, --same-card-time");
    }
    return o;
}

} // namespace qn480::cli
