// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_model.h"

#include "text_util.h"

#include <algorithm>
#include <cmath>

namespace qn480::cli {

namespace {

constexpr double kMaxTimeoutSeconds = 86400;

// A time in seconds, fractions allowed, from a millisecond to a day.
std::chrono::milliseconds timeoutIn(std::string_view option, std::string_view text)
{
    const std::optional<double> seconds = numberIn(text);
    if (!seconds || !(*seconds > 0) || *seconds > kMaxTimeoutSeconds) {
        throw UsageError("--" + std::string(option) + " takes seconds from 0.001 to 86400, not " +
                         quoted(text));
    }
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(*seconds * 1000)));
}

std::string nonEmpty(std::string_view value, std::string_view message)
{
    if (value.empty())
        throw UsageError(std::string(message));
    return std::string(value);
}

// "autoread,beep", "none" or "all" as one byte: the masks of the `names` it lists.
std::uint8_t nameList(std::string_view option, std::string_view text,
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
    for (std::size_t pos = 0; pos <= lower.size();) {
        const std::size_t comma = std::min(lower.find(',', pos), lower.size());
        const std::string_view item = std::string_view(lower).substr(pos, comma - pos);
        pos = comma + 1;
        const auto found = std::find_if(names.begin(), names.end(),
                                        [&](const BitName &n) { return n.name == item; });
        if (found == names.end()) {
            std::string list;
            for (const BitName &n : names)
                list += (list.empty() ? "" : ", ") + std::string(n.name);
            throw UsageError("--" + std::string(option) + ": unknown name " + quoted(item) +
                             "; use none, all or a comma list of " + list);
        }
        byte |= found->mask;
    }
    return byte;
}

void timing(KeypadPatch &patch, KeypadSetting setting, std::string_view value)
{
    const TimingName &t = *std::find_if(kTimingNames.begin(), kTimingNames.end(),
                                        [&](const TimingName &n) { return n.setting == setting; });
    const auto n = decimalIn(value, 0, 255);
    if (!n) {
        throw UsageError("--" + std::string(t.option) + " takes a count from 0 to 255 (steps of " +
                         std::to_string(t.unitMs) + " ms), not " + quoted(value));
    }
    (setting == KeypadSetting::SendTime   ? patch.sendTime
     : setting == KeypadSetting::ScanTime ? patch.scanTime
                                          : patch.sameTime) = static_cast<std::uint8_t>(*n);
}

// One byte in hexadecimal, "0A", "a" or "0x0A".
std::optional<std::uint8_t> byteIn(std::string_view text)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    const auto bytes = text.size() == 1 ? hexBytes("0" + std::string(text)) : hexBytes(text);
    if (!bytes || bytes->size() != 1)
        return std::nullopt;
    return bytes->front();
}

void takesNoOperand(std::span<const std::string_view> words, std::string_view command)
{
    if (!words.empty())
        throw UsageError(std::string(command) + " takes no further argument " + quoted(words[0]));
}

void profileFile(Options &o, std::span<const std::string_view> words, bool save)
{
    if (words.empty() || words[0].empty())
        throw UsageError(std::string(save ? "keypad save" : "keypad load") +
                         " needs a profile FILE (- for " + (save ? "stdout)" : "stdin)"));
    o.profile = words[0];
    takesNoOperand(words.subspan(1), save ? "keypad save" : "keypad load");
}

constexpr CommandSet kReaderCommands =
    commandBit(Command::Poll) | commandBit(Command::KeypadGet) | commandBit(Command::KeypadSet) |
    commandBit(Command::KeypadDefaults) | commandBit(Command::KeypadSave) |
    commandBit(Command::KeypadLoad) | commandBit(Command::Raw);
constexpr CommandSet kWaiting = kReaderCommands & ~commandBit(Command::Raw);
constexpr CommandSet kEvery = ~CommandSet{0};
constexpr CommandSet kPoll = commandBit(Command::Poll);
constexpr CommandSet kSet = commandBit(Command::KeypadSet);
constexpr CommandSet kLog = commandBit(Command::LogExport);

const OptionSpec kOptions[] = {
    // The options of every command, in the order of the usage line.
    {"port",
     'p',
     "COMnn",
     "the port by the name `qn480ctl ports` shows",
     kReaderCommands,
     true,
     {},
     "device",
     Completion::Port,
     {},
     [](Options &o, std::string_view v) {
         if (!portNumberOf(v))
             throw UsageError("--port takes a port name such as COM07 (qn480ctl ports lists "
                              "them), not " +
                              quoted(v));
         o.port = v;
     }},
    {"device",
     'd',
     "PATH",
     "a serial device by its path, listed or not\n"
     "Without either, QN480_DEVICE (a COM name or a path) names the\n"
     "reader; without that, the only serial port there is is used and\n"
     "named on stderr (an error when there are several). Commands that\n"
     "write (keypad set, defaults and load, raw) never guess: they need\n"
     "one of the three.",
     kReaderCommands | commandBit(Command::UdevRule),
     true,
     {},
     {},
     Completion::Device,
     {},
     [](Options &o, std::string_view v) {
         o.device = nonEmpty(v, "--device needs a path such as /dev/ttyUSB0");
     }},
    {"trace",
     't',
     {},
     "every request (>>) and response (<<) frame in hexadecimal, with\n"
     "the local time, on stderr",
     kReaderCommands,
     true,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.trace = true;
     }},
    {"json",
     'j',
     {},
     "one JSON object per line instead of text",
     kEvery & ~commandBit(Command::UdevRule) & ~kLog,
     true,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.json = true;
     }},
    {"quiet",
     'q',
     {},
     "no progress messages on stderr; errors still go there",
     kEvery,
     true,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.quiet = true;
     }},
    {"wait",
     'w',
     {},
     "(poll and keypad) a reader that is not there at start, or is\n"
     "unplugged later, is waited for; the command starts again when it\n"
     "is back. Any failure to open the port is waited out (a busy port,\n"
     "permission not yet given), each new reason told once on stderr;\n"
     "a poll whose reader does not answer yet after it came is tried\n"
     "again. Only a usage error or a stop signal ends the wait.",
     kWaiting,
     true,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.wait = true;
     }},

    {"probe",
     0,
     {},
     "send each port that is free one harmless Get (of the\n"
     "mode) and mark those where a QN480 answered within 200 ms:\n"
     "a fourth column \"reader\" or \"no reader\" (\"not probed\"\n"
     "when the port is in use or cannot be opened, with the\n"
     "reason on stderr); JSON: reader true, false or null",
     commandBit(Command::Ports),
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.probe = true;
     }},

    {"count",
     'n',
     "N",
     "stop after N arrivals",
     kPoll,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         const auto n = decimalIn(v, 1, 1000000000);
         if (!n)
             throw UsageError("--count takes a number of cards from 1 on, not " + quoted(v));
         o.count = *n;
     }},
    {"timeout",
     0,
     "SECONDS",
     "give up after SECONDS (decimals allowed): exit 4 when fewer\n"
     "than N cards came (without --count: when none came)",
     kPoll,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         o.timeout = timeoutIn("timeout", v);
     }},
    {"mqtt",
     0,
     "URL",
     "also publish each event to an MQTT broker, URL\n"
     "mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...: topics\n"
     "PREFIX/READER/event, uid, cards, status and\n"
     "diagnostics. Each event waits in a spool until the broker\n"
     "has it; none is lost while the broker is away",
     kPoll,
     false,
     {},
     {},
     Completion::Nothing,
     {},
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
     "F",
     "the broker's password (else $QN480_MQTT_PASSWORD)",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::File,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.passwordFile = v;
     }},
    {"mqtt-ca",
     0,
     "F",
     "mqtts: the CA's certificate (default: the system's)",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::File,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.ca = v;
     }},
    {"mqtt-cert",
     0,
     "F",
     "mqtts: a client certificate, with --mqtt-key",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::File,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.cert = v;
     }},
    {"mqtt-key",
     0,
     "F",
     "mqtts: the client certificate's key",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::File,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.key = v;
     }},
    {"reader",
     0,
     "NAME",
     "the reader's name in topics (default: the adapter's\n"
     "serial number, else the device's name)",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::Nothing,
     {},
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
     "DIR",
     "where events wait (default:\n"
     "$XDG_STATE_HOME/qn480/spool/READER)",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::Folder,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.spool = v;
     }},
    {"ha-discovery",
     0,
     {},
     "announce the reader to Home Assistant as a tag scanner,\n"
     "with a \"last card\" and a \"spool depth\" sensor",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view) {
         o.mqtt.haDiscovery = true;
     }},
    {"delivery-timeout",
     0,
     "SECONDS",
     "with -n or --timeout: wait up to SECONDS (10) at the\n"
     "end for the broker to take every event; exit 5 when\n"
     "some still wait in the spool",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         o.deliveryTimeout = timeoutIn("delivery-timeout", v);
     }},
    {"uid-max-age",
     0,
     "SECONDS",
     "an event published later than SECONDS (5) after it was\n"
     "seen is a replay: \"replayed\": true, and not on the uid\n"
     "topic, where automations start",
     kPoll,
     false,
     "mqtt",
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         o.mqtt.uidMaxAge = timeoutIn("uid-max-age", v);
     }},
    {"uid-form",
     0,
     "FORM",
     "text lines lead with the UID in FORM (see uid-forms;\n"
     "\"-\" where it cannot apply); JSON lines gain \"forms\"",
     kPoll,
     false,
     {},
     {},
     Completion::Words,
     "hex hex-rev dec dec-rev dec10 dec10-rev dec8 w26",
     [](Options &o, std::string_view v) {
         o.uidForm = uidFormFromName(v);
         if (!o.uidForm)
             throw UsageError("--uid-form takes hex, hex-rev, dec, dec-rev, dec10, dec10-rev, "
                              "dec8 or w26, not " +
                              quoted(v));
         o.actions.uidForm = o.uidForm;
     }},
    {"log",
     0,
     "FILE",
     "append every event to FILE as a JSON line, flushed to\n"
     "disk; rotated at 10 MiB, 5 files kept (FILE.1 to .4)",
     kPoll,
     false,
     {},
     {},
     Completion::File,
     "jsonl",
     [](Options &o, std::string_view v) {
         o.logFile = nonEmpty(v, "--log needs a file, such as cards.jsonl");
     }},
    {"on-present",
     0,
     "CMD",
     "run CMD with /bin/sh -c for each arrival; the card is in\n"
     "the environment only: QN480_EVENT, QN480_INTERFACE,\n"
     "QN480_UID, QN480_NFCID, QN480_TYPE, QN480_TIME, QN480_JSON.\n"
     "One at a time, in order, beside polling; its stdout goes\n"
     "to stderr. At exit queued ones finish; a second Ctrl-C\n"
     "ends them.",
     kPoll,
     false,
     {},
     {},
     Completion::Program,
     {},
     [](Options &o, std::string_view v) {
         o.actions.onPresent = nonEmpty(v, "--on-present needs a command");
     }},
    {"on-removed",
     0,
     "CMD",
     "the same for each removal",
     kPoll,
     false,
     {},
     {},
     Completion::Program,
     {},
     [](Options &o, std::string_view v) {
         o.actions.onRemoved = nonEmpty(v, "--on-removed needs a command");
     }},
    {"action-timeout",
     0,
     "SECONDS",
     "end an action after SECONDS (10): SIGTERM, then SIGKILL",
     kPoll,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         o.actions.timeout = timeoutIn("action-timeout", v);
     }},

    {"mode",
     0,
     "LIST",
     "autoread, beep, led, samecard",
     kSet,
     false,
     {},
     {},
     Completion::WordList,
     "none all autoread beep led samecard",
     [](Options &o, std::string_view v) {
         o.keypad.mode = nameList("mode", v, kModeNames);
     }},
    {"types",
     0,
     "LIST",
     "14a, 14b, felica, 15693, guid",
     kSet,
     false,
     {},
     {},
     Completion::WordList,
     "none all 14a 14b felica 15693 guid",
     [](Options &o, std::string_view v) {
         o.keypad.types = nameList("types", v, kTypeNames);
     }},
    {"format",
     0,
     "F",
     "14H 5D 6H 8D 8H 10D 10H 13D 16H 4D 32H, or \"code 0xNN\"\n"
     "for a code without a button in the window",
     kSet,
     false,
     {},
     {},
     Completion::Words,
     "14H 5D 6H 8D 8H 10D 10H 13D 16H 4D 32H",
     [](Options &o, std::string_view v) {
         const auto code = formatOf(v);
         if (!code) {
             std::string formats;
             for (const FormatName &f : kFormatNames)
                 formats += (formats.empty() ? "" : ", ") + std::string(f.caption);
             throw UsageError("--format: unknown format " + quoted(v) + "; use one of " + formats +
                              " or code 0xNN");
         }
         o.keypad.format = static_cast<std::uint8_t>(*code);
     }},
    {"reverse",
     0,
     "R",
     "none, byte or bit",
     kSet,
     false,
     {},
     {},
     Completion::Words,
     "none byte bit",
     [](Options &o, std::string_view v) {
         const std::string lower = lowerCase(v);
         if (lower != "none" && lower != "byte" && lower != "bit")
             throw UsageError("--reverse takes none, byte or bit, not " + quoted(v));
         o.keypad.reverse = lower == "none"   ? kNoReversal
                            : lower == "byte" ? kReverseByte
                                              : kReverseBit;
     }},
    {"add",
     0,
     "LIST",
     "comma, brackets, quotes, space, tab, down, ctrl-enter, enter\n"
     "(none is sent as enter, as the window does)",
     kSet,
     false,
     {},
     {},
     Completion::WordList,
     "none all comma brackets quotes space tab down ctrl-enter enter",
     [](Options &o, std::string_view v) {
         const std::uint8_t add = nameList("add", v, kAddNames);
         o.keypad.add = add == 0 ? kAddEnter : add;
     }},
    {"send-time",
     0,
     "N",
     "0-255, steps of 1 ms",
     kSet,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         timing(o.keypad, KeypadSetting::SendTime, v);
     }},
    {"scan-time",
     0,
     "N",
     "0-255, steps of 10 ms",
     kSet,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         timing(o.keypad, KeypadSetting::ScanTime, v);
     }},
    {"same-card-time",
     0,
     "N",
     "0-255, steps of 100 ms",
     kSet,
     false,
     {},
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::string_view v) {
         timing(o.keypad, KeypadSetting::SameTime, v);
     }},

    {"xlsx",
     0,
     "OUT",
     "the spreadsheet to write",
     kLog,
     false,
     {},
     {},
     Completion::File,
     "xlsx",
     [](Options &o, std::string_view v) {
         if (v == "-")
             throw UsageError("--xlsx writes a file, not stdout");
         o.xlsx = nonEmpty(v, "--xlsx needs a file to write");
     }},
    {"csv",
     0,
     "OUT",
     "the CSV to write (- for stdout)",
     kLog,
     false,
     {},
     {},
     Completion::File,
     "csv",
     [](Options &o, std::string_view v) {
         o.csv = nonEmpty(v, "--csv needs a file to write");
     }},
};

const CommandSpec kCommands[] = {
    {Command::Help, "help", "[COMMAND]", {}},
    {Command::Version, "version", {}, {}},
    {Command::Ports,
     "ports",
     {},
     "list the serial ports: COM name, device and description",
     {},
     Completion::Nothing,
     {},
     [](Options &, std::span<const std::string_view> w) {
         takesNoOperand(w, "ports");
     }},
    {Command::Poll,
     "poll",
     "14a|14b|felica|15693",
     "configure the reader, switch the carrier on and poll until\n"
     "Ctrl-C; one line when a card arrives (\"present\") and one\n"
     "when it leaves (\"removed\"). A card counts as removed once\n"
     "it has been missing for two passes and 100 ms; it arrives\n"
     "again only after that, or when its UID differs. Ctrl-C ends\n"
     "the current pass, switches the carrier off and exits 0.",
     {},
     Completion::Words,
     "14a 14b felica 15693",
     [](Options &o, std::span<const std::string_view> w) {
         if (w.empty())
             throw UsageError("poll needs an air interface: 14a, 14b, felica or 15693");
         const auto air = airFromName(w[0]);
         if (!air)
             throw UsageError("poll: unknown air interface " + quoted(w[0]) +
                              "; use 14a, 14b, felica or 15693");
         o.air = *air;
         takesNoOperand(w.subspan(1), "poll");
     }},
    {Command::KeypadGet,
     "keypad get",
     {},
     "the six keyboard-mode settings",
     {},
     Completion::Nothing,
     {},
     [](Options &, std::span<const std::string_view> w) {
         takesNoOperand(w, "keypad get");
     }},
    {Command::KeypadSet,
     "keypad set",
     "[options]",
     "send only the settings given, then read all six back",
     "A LIST is comma-separated, or none, or all. A part of\n"
     "--format/--reverse/--add not given is sent back as the\n"
     "reader holds it, byte for byte.",
     Completion::Nothing,
     {},
     [](Options &, std::span<const std::string_view> w) { takesNoOperand(w, "keypad set"); },
     true},
    {Command::KeypadDefaults,
     "keypad defaults",
     {},
     "what the window's \"default\" button does: write the default\n"
     "settings, then read all six back",
     {},
     Completion::Nothing,
     {},
     [](Options &, std::span<const std::string_view> w) {
         takesNoOperand(w, "keypad defaults");
     }},
    {Command::KeypadSave,
     "keypad save",
     "FILE",
     "write the six settings to a profile (- for stdout): JSON\n"
     "with the names of keypad get --json",
     {},
     Completion::File,
     "json",
     [](Options &o, std::span<const std::string_view> w) {
         profileFile(o, w, true);
     }},
    {Command::KeypadLoad,
     "keypad load",
     "FILE",
     "send what the profile holds (- for stdin), read all six back\n"
     "and exit 1, naming each difference, if the reader did not\n"
     "keep it. A bad profile: one line naming the field, exit 2,\n"
     "nothing sent. A refused Set: the changes are written back.",
     {},
     Completion::File,
     "json",
     [](Options &o, std::span<const std::string_view> w) {
         profileFile(o, w, false);
     }},
    {Command::Raw,
     "raw",
     "GROUP CODE [HEXBYTES]",
     "one transaction; GROUP, CODE and the data in hexadecimal\n"
     "(raw 0D 10 0000); prints result, status, status text, data",
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::span<const std::string_view> w) {
         if (w.size() < 2)
             throw UsageError("raw needs a command group and code in hexadecimal, as raw 00 10");
         const auto group = byteIn(w[0]);
         const auto code = byteIn(w[1]);
         if (!group)
             throw UsageError("raw: the group " + quoted(w[0]) + " is not a hexadecimal byte");
         if (!code)
             throw UsageError("raw: the code " + quoted(w[1]) + " is not a hexadecimal byte");
         o.group = *group;
         o.code = *code;
         std::string data;
         for (const std::string_view word : w.subspan(2))
             data += std::string(word) + " ";
         o.data = parseHexBytes(data);
     }},
    {Command::UdevRule,
     "udev-rule",
     {},
     "print a udev rule for the reader's USB serial adapter:\n"
     "its own /dev/qn480-SERIAL name, access for the desktop\n"
     "user and the dialout group, no ModemManager probing\n"
     "(the device: -d PATH, else $QN480_DEVICE; Linux only)",
     {},
     Completion::Nothing,
     {},
     [](Options &, std::span<const std::string_view> w) {
         takesNoOperand(w, "udev-rule");
     }},
    {Command::UidForms,
     "uid-forms",
     "HEX",
     "every form of a UID given in hexadecimal, in the order\n"
     "the card sends it (04A1B2C3D4E5F6, 04:a1:b2 ...): hex,\n"
     "hex-rev, dec, dec-rev, dec10, dec10-rev, dec8, w26; a\n"
     "form that cannot apply says why. No reader needed.",
     {},
     Completion::Nothing,
     {},
     [](Options &o, std::span<const std::string_view> w) {
         o.uidWords.assign(w.begin(), w.end());
     }},
    {Command::LogExport,
     "log export",
     "FILE",
     "a card log file (poll --log, the window's log file) as\n"
     "a spreadsheet (.xlsx: UIDs and other hexadecimal fields\n"
     "as text, times as date-time cells) and/or as CSV (the\n"
     "window's Save as CSV; - for stdout). A line that is no\n"
     "card event is skipped with a warning. No reader needed.",
     {},
     Completion::File,
     "jsonl",
     [](Options &o, std::span<const std::string_view> w) {
         if (w.empty())
             throw UsageError("log export needs the log file to read");
         if (w.size() > 1)
             throw UsageError("log export reads one file, not " + quoted(w[1]) + " as well");
         o.logInput = w[0];
     },
     true},
};

} // namespace

std::span<const OptionSpec> optionSpecs()
{
    return kOptions;
}

std::span<const CommandSpec> commandSpecs()
{
    return kCommands;
}

const CommandSpec &commandSpec(Command command)
{
    return *std::find_if(std::begin(kCommands), std::end(kCommands),
                         [&](const CommandSpec &c) { return c.command == command; });
}

std::string optionLabel(const OptionSpec &option)
{
    std::string label;
    if (option.shortName != 0)
        label = std::string("-") + option.shortName + ", ";
    label += "--" + std::string(option.name);
    if (!option.value.empty())
        label += " " + std::string(option.value);
    return label;
}

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

} // namespace qn480::cli
