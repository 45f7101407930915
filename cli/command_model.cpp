// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_model.h"

#include "card_log.h"
#include "frame.h"
#include "keypad_json.h"
#include "port_list.h"
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
        const auto mask = maskOf(item, names);
        if (!mask)
            throw UsageError("--" + std::string(option) + ": unknown name " + quoted(item) +
                             "; use none, all or a comma list of " + namesListed(names));
        byte |= *mask;
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
    patch.timing(setting) = static_cast<std::uint8_t>(*n);
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

template <bool Options::*flag> void setFlag(Options &o, std::string_view)
{
    o.*flag = true;
}

// A file of the station's, kept as given; the station reads it.
template <std::string station::StationOptions::*file>
void stationFile(Options &o, std::string_view value)
{
    o.mqtt.*file = value;
}

void port(Options &o, std::string_view v)
{
    if (comNumberOf(v) == 0)
        throw UsageError(
            "--port takes a port name such as COM07 (qn480ctl ports lists them), not " + quoted(v));
    o.port = v;
}

void device(Options &o, std::string_view v)
{
    o.device = nonEmpty(v, "--device needs a path such as /dev/ttyUSB0");
}

void count(Options &o, std::string_view v)
{
    const auto n = decimalIn(v, 1, 1000000000);
    if (!n)
        throw UsageError("--count takes a number of cards from 1 on, not " + quoted(v));
    o.count = *n;
}

void broker(Options &o, std::string_view v)
{
    try {
        station::parseBrokerUrl(v);
    } catch (const station::ConnectionError &e) {
        throw UsageError("--mqtt: " + stationErrorText(e));
    }
    o.mqtt.url = v;
}

void readerName(Options &o, std::string_view v)
{
    try {
        station::checkReaderName(v);
    } catch (const station::ConnectionError &) {
        throw UsageError("--reader takes letters, digits, '-' and '_', not " + quoted(v));
    }
    o.mqtt.reader = v;
}

void uidForm(Options &o, std::string_view v)
{
    o.uidForm = uidFormFromName(v);
    if (!o.uidForm)
        throw UsageError("--uid-form takes hex, hex-rev, dec, dec-rev, dec10, dec10-rev, dec8 "
                         "or w26, not " +
                         quoted(v));
    o.actions.uidForm = o.uidForm;
}

void format(Options &o, std::string_view v)
{
    const auto code = formatOf(v);
    if (!code) {
        std::string formats;
        for (const FormatName &f : kFormatNames)
            formats += (formats.empty() ? "" : ", ") + std::string(f.caption);
        throw UsageError("--format: unknown format " + quoted(v) + "; use one of " + formats +
                         " or code 0xNN");
    }
    o.keypad.format = static_cast<std::uint8_t>(*code);
}

void reverse(Options &o, std::string_view v)
{
    o.keypad.reverse = reversalOf(v);
    if (!o.keypad.reverse)
        throw UsageError("--reverse takes none, byte or bit, not " + quoted(v));
}

void add(Options &o, std::string_view v)
{
    // The window never sends an empty flags byte; a profile may.
    const std::uint8_t flags = nameList("add", v, kAddNames);
    o.keypad.add = flags == 0 ? kAddEnter : flags;
}

void logFile(Options &o, std::string_view v)
{
    o.logFile = nonEmpty(v, "--log needs a file, such as cards.jsonl");
    // A FIFO would hold the poll, with the port, until something reads it.
    if (const std::string refused = cardLogRefusal(o.logFile); !refused.empty())
        throw UsageError("--log " + o.logFile + " " + refused + "; give a file (or /dev/null)");
}

void xlsx(Options &o, std::string_view v)
{
    if (v == "-")
        throw UsageError("--xlsx writes a file, not stdout");
    o.xlsx = nonEmpty(v, "--xlsx needs a file to write");
}

void poll(Options &o, std::span<const std::string_view> w)
{
    if (w.empty())
        throw UsageError("poll needs an air interface: 14a, 14b, felica or 15693");
    const auto air = airFromName(w[0]);
    if (!air)
        throw UsageError("poll: unknown air interface " + quoted(w[0]) +
                         "; use 14a, 14b, felica or 15693");
    o.air = *air;
    takesNoOperand(w.subspan(1), "poll");
}

void raw(Options &o, std::span<const std::string_view> w)
{
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
}

void logExport(Options &o, std::span<const std::string_view> w)
{
    if (w.empty())
        throw UsageError("log export needs the log file to read");
    if (w.size() > 1)
        throw UsageError("log export reads one file, not " + quoted(w[1]) + " as well");
    o.logInput = w[0];
}

template <Command command> void noOperand(Options &, std::span<const std::string_view> w)
{
    takesNoOperand(w, commandRow(command).words);
}

constexpr CommandSet kReaderCommands =
    commandBit(Command::Poll) | commandBit(Command::KeypadGet) | commandBit(Command::KeypadSet) |
    commandBit(Command::KeypadDefaults) | commandBit(Command::KeypadSave) |
    commandBit(Command::KeypadLoad) | commandBit(Command::Raw);
// Settings changed or arbitrary bytes sent: never to a port guessed.
constexpr CommandSet kWriting = commandBit(Command::KeypadSet) |
                                commandBit(Command::KeypadDefaults) |
                                commandBit(Command::KeypadLoad) | commandBit(Command::Raw);
constexpr CommandSet kWaiting = kReaderCommands & ~commandBit(Command::Raw);
constexpr CommandSet kEvery = ~CommandSet{0};
constexpr CommandSet kPoll = commandBit(Command::Poll);
// keypad commands that a station with --remote-keypad serves for a reader it polls
constexpr CommandSet kRemote = commandBit(Command::KeypadGet) | commandBit(Command::KeypadSet) |
                               commandBit(Command::KeypadDefaults) |
                               commandBit(Command::KeypadLoad);
constexpr CommandSet kStation = kPoll | kRemote;
constexpr CommandSet kSet = commandBit(Command::KeypadSet);
constexpr CommandSet kLog = commandBit(Command::LogExport);
constexpr CommandSet kLoad = commandBit(Command::KeypadLoad);
constexpr Reach kOwn = Reach::Own;
constexpr Reach kAnywhere = Reach::Anywhere; // taken before or after any command
constexpr std::string_view kMqtt = "mqtt";   // what the station's options go with

// Rows by hand, one option each: name, letter, value, commands, check, help, and where they
// apply, where it is listed and taken, what it needs or excludes and how the shell completes it.
// clang-format off
const OptionRow kOptions[] = {
    // The options of every command, in the order of the usage line.
    {"port", 'p', "COMnn", kReaderCommands, port,
     "the port by the name `qn480ctl ports` shows",
     kAnywhere, {}, "device", Completion::Port},
    {"device", 'd', "PATH", kReaderCommands | commandBit(Command::UdevRule), device,
     "a serial device by its path, listed or not.\n"
     "Without either, QN480_DEVICE (a COM name or a path) names the\n"
     "reader; without that, the only serial port there is is used and\n"
     "named on stderr (an error when there are several). Commands that\n"
     "write (keypad set, defaults and load, raw) never guess: they need\n"
     "one of the three.",
     kAnywhere, {}, {}, Completion::Device},
    {"trace", 't', {}, kReaderCommands, setFlag<&Options::trace>,
     "every request (>>) and response (<<) frame in hexadecimal, with\n"
     "the local time, on stderr",
     kAnywhere},
    {"json", 'j', {}, kEvery & ~commandBit(Command::UdevRule) & ~kLog, setFlag<&Options::json>,
     "one JSON object per line instead of text", kAnywhere},
    {"quiet", 'q', {}, kEvery, setFlag<&Options::quiet>,
     "no progress messages on stderr; errors still go there", kAnywhere},
    {"wait", 'w', {}, kWaiting, setFlag<&Options::wait>,
     "(poll and keypad) a reader that is not there at start, or is\n"
     "unplugged later, is waited for; the command starts again when it\n"
     "is back. Any failure to open the port is waited out (a busy port,\n"
     "permission not yet given), each new reason told once on stderr;\n"
     "a poll whose reader does not answer yet after it came is tried\n"
     "again. Only a usage error or a stop signal ends the wait.",
     Reach::Global},

    {"probe", 0, {}, commandBit(Command::Ports), setFlag<&Options::probe>,
     "send each port that is free one harmless Get (of the\n"
     "mode) and mark those where a QN480 answered within 200 ms:\n"
     "a fourth column \"reader\" or \"no reader\" (\"not probed\"\n"
     "when the port is in use or cannot be opened, with the\n"
     "reason on stderr); JSON: reader true, false or null"},

    {"count", 'n', "N", kPoll, count, "stop after N arrivals"},
    {"timeout", 0, "SECONDS", kStation,
     [](Options &o, std::string_view v) { o.timeout = timeoutIn("timeout", v); },
     "give up after SECONDS (decimals allowed): exit 4 when fewer\n"
     "than N cards came (without --count: when none came); keypad\n"
     "with --mqtt: wait SECONDS (10) for the station's answer"},
    {"mqtt", 0, "URL", kStation, broker,
     "also publish each event to an MQTT broker, URL\n"
     "mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...: topics\n"
     "PREFIX/READER/event, uid, cards, status and\n"
     "diagnostics. Each event waits in a spool until the broker\n"
     "has it; none is lost while the broker is away"},
    {"remote-keypad", 0, {}, kPoll, [](Options &o, std::string_view) { o.mqtt.remoteKeypad = true; },
     "serve the keypad settings to the broker between passes\n"
     "(PREFIX/READER/keypad, keypad/request, keypad/response)\n"
     "and apply the desired state (PREFIX/fleet/keypad,\n"
     "PREFIX/READER/keypad/desired)",
     kOwn, kMqtt},
    {"mqtt-password-file", 0, "F", kStation, stationFile<&station::StationOptions::passwordFile>,
     "the broker's password (else $QN480_MQTT_PASSWORD)", kOwn, kMqtt, {}, Completion::File},
    {"mqtt-ca", 0, "F", kStation, stationFile<&station::StationOptions::ca>,
     "mqtts: the CA's certificate (default: the system's)", kOwn, kMqtt, {}, Completion::File},
    {"mqtt-cert", 0, "F", kStation, stationFile<&station::StationOptions::cert>,
     "mqtts: a client certificate, with --mqtt-key", kOwn, kMqtt, {}, Completion::File},
    {"mqtt-key", 0, "F", kStation, stationFile<&station::StationOptions::key>,
     "mqtts: the client certificate's key", kOwn, kMqtt, {}, Completion::File},
    {"reader", 0, "NAME", kStation, readerName,
     "the reader's name in topics (default: the adapter's\n"
     "serial number, else the device's name)",
     kOwn, kMqtt},
    {"spool", 0, "DIR", kPoll, stationFile<&station::StationOptions::spool>,
     "where events wait (default:\n"
     "$XDG_STATE_HOME/qn480/spool/READER)",
     kOwn, kMqtt, {}, Completion::Folder},
    {"ha-discovery", 0, {}, kPoll, [](Options &o, std::string_view) { o.mqtt.haDiscovery = true; },
     "announce the reader to Home Assistant as a tag scanner,\n"
     "with a \"last card\" and a \"spool depth\" sensor",
     kOwn, kMqtt},
    {"delivery-timeout", 0, "SECONDS", kPoll,
     [](Options &o, std::string_view v) { o.deliveryTimeout = timeoutIn("delivery-timeout", v); },
     "with -n or --timeout: wait up to SECONDS (10) at the\n"
     "end for the broker to take every event; exit 5 when\n"
     "some still wait in the spool",
     kOwn, kMqtt},
    {"uid-max-age", 0, "SECONDS", kPoll,
     [](Options &o, std::string_view v) { o.mqtt.uidMaxAge = timeoutIn("uid-max-age", v); },
     "an event published later than SECONDS (5) after it was\n"
     "seen is a replay: \"replayed\": true, and not on the uid\n"
     "topic, where automations start",
     kOwn, kMqtt},
    {"uid-form", 0, "FORM", kPoll, uidForm,
     "text lines lead with the UID in FORM (see uid-forms;\n"
     "\"-\" where it cannot apply); JSON lines gain \"forms\"",
     kOwn, {}, {}, Completion::Words, "hex hex-rev dec dec-rev dec10 dec10-rev dec8 w26"},
    {"log", 0, "FILE", kPoll, logFile,
     "append every event to FILE as a JSON line, flushed to\n"
     "disk; rotated at 10 MiB, 5 files kept (FILE.1 to .4)",
     kOwn, {}, {}, Completion::File, "jsonl"},
    {"on-present", 0, "CMD", kPoll,
     [](Options &o, std::string_view v) {
         o.actions.onPresent = nonEmpty(v, "--on-present needs a command"); },
     "run CMD with /bin/sh -c for each arrival; the card is in\n"
     "the environment only: QN480_EVENT, QN480_INTERFACE,\n"
     "QN480_UID, QN480_NFCID, QN480_TYPE, QN480_TIME, QN480_JSON.\n"
     "One at a time, in order, beside polling; its stdout goes\n"
     "to stderr. At exit queued ones finish; a second Ctrl-C\n"
     "ends them.",
     kOwn, {}, {}, Completion::Program},
    {"on-removed", 0, "CMD", kPoll,
     [](Options &o, std::string_view v) {
         o.actions.onRemoved = nonEmpty(v, "--on-removed needs a command"); },
     "the same for each removal", kOwn, {}, {}, Completion::Program},
    {"action-timeout", 0, "SECONDS", kPoll,
     [](Options &o, std::string_view v) { o.actions.timeout = timeoutIn("action-timeout", v); },
     "end an action after SECONDS (10): SIGTERM, then SIGKILL"},

    {"mode", 0, "LIST", kSet,
     [](Options &o, std::string_view v) { o.keypad.mode = nameList("mode", v, kModeNames); },
     "autoread, beep, led, samecard",
     kOwn, {}, {}, Completion::WordList, "none all autoread beep led samecard"},
    {"types", 0, "LIST", kSet,
     [](Options &o, std::string_view v) { o.keypad.types = nameList("types", v, kTypeNames); },
     "14a, 14b, felica, 15693, guid",
     kOwn, {}, {}, Completion::WordList, "none all 14a 14b felica 15693 guid"},
    {"format", 0, "F", kSet, format,
     "14H 5D 6H 8D 8H 10D 10H 13D 16H 4D 32H, or \"code 0xNN\"\n"
     "for a code without a button in the window",
     kOwn, {}, {}, Completion::Words, "14H 5D 6H 8D 8H 10D 10H 13D 16H 4D 32H"},
    {"reverse", 0, "R", kSet, reverse, "none, byte or bit",
     kOwn, {}, {}, Completion::Words, "none byte bit"},
    {"add", 0, "LIST", kSet, add,
     "comma, brackets, quotes, space, tab, down, ctrl-enter, enter\n"
     "(none is sent as enter, as the window does)",
     kOwn, {}, {}, Completion::WordList,
     "none all comma brackets quotes space tab down ctrl-enter enter"},
    {"send-time", 0, "N", kSet,
     [](Options &o, std::string_view v) { timing(o.keypad, KeypadSetting::SendTime, v); },
     "0-255, steps of 1 ms"},
    {"scan-time", 0, "N", kSet,
     [](Options &o, std::string_view v) { timing(o.keypad, KeypadSetting::ScanTime, v); },
     "0-255, steps of 10 ms"},
    {"same-card-time", 0, "N", kSet,
     [](Options &o, std::string_view v) { timing(o.keypad, KeypadSetting::SameTime, v); },
     "0-255, steps of 100 ms"},
    {"fleet", 0, {}, kLoad, setFlag<&Options::fleet>,
     "publish the profile as the desired state of every station\n"
     "under PREFIX and print each answer: reader, status, what\n"
     "changed",
     kOwn, kMqtt},
    {"clear", 0, {}, kLoad, setFlag<&Options::clear>,
     "remove the fleet's desired state instead", kOwn, "fleet"},

    {"xlsx", 0, "OUT", kLog, xlsx, "the spreadsheet to write",
     kOwn, {}, {}, Completion::File, "xlsx"},
    {"csv", 0, "OUT", kLog,
     [](Options &o, std::string_view v) { o.csv = nonEmpty(v, "--csv needs a file to write"); },
     "the CSV to write (- for stdout)", kOwn, {}, {}, Completion::File, "csv"},
};

// One command each: what it is, its words, its operands, how they are read, its help and its
// notes, whether one of its options must be given, and how the shell completes its operands.
const CommandRow kCommands[] = {
    {Command::Help, "help", "[COMMAND]", nullptr, {}},
    {Command::Version, "version", {}, nullptr, {}},
    {Command::Ports, "ports", {}, noOperand<Command::Ports>,
     "list the serial ports: COM name, device and description"},
    {Command::Poll, "poll", "14a|14b|felica|15693", poll,
     "configure the reader, switch the carrier on and poll until\n"
     "Ctrl-C; one line when a card arrives (\"present\") and one\n"
     "when it leaves (\"removed\"). A card counts as removed once\n"
     "it has been missing for two passes and 100 ms; it arrives\n"
     "again only after that, or when its UID differs. Ctrl-C ends\n"
     "the current pass, switches the carrier off and exits 0.",
     {}, false, Completion::Words, "14a 14b felica 15693"},
    {Command::KeypadGet, "keypad get", {}, noOperand<Command::KeypadGet>,
     "the six keyboard-mode settings"},
    {Command::KeypadSet, "keypad set", "[options]", noOperand<Command::KeypadSet>,
     "send only the settings given, then read all six back",
     "A LIST is comma-separated, or none, or all. A part of\n"
     "--format/--reverse/--add not given is sent back as the\n"
     "reader holds it, byte for byte.",
     true},
    {Command::KeypadDefaults, "keypad defaults", {}, noOperand<Command::KeypadDefaults>,
     "what the window's \"default\" button does: write the default\n"
     "settings, then read all six back"},
    {Command::KeypadSave, "keypad save", "FILE",
     [](Options &o, std::span<const std::string_view> w) { profileFile(o, w, true); },
     "write the six settings to a profile (- for stdout): JSON\n"
     "with the names of keypad get --json",
     {}, false, Completion::File, "json"},
    {Command::KeypadLoad, "keypad load", "FILE",
     [](Options &o, std::span<const std::string_view> w) { profileFile(o, w, false); },
     "send what the profile holds (- for stdin), read all six back\n"
     "and exit 1, naming each difference, if the reader did not\n"
     "keep it. A bad profile: one line naming the field, exit 2,\n"
     "nothing sent. A refused Set: the changes are written back.",
     "keypad get, set, load and defaults with --mqtt URL --reader\n"
     "NAME: the same through the station that serves NAME (poll\n"
     "--remote-keypad), a set all or nothing; exit 6 when no\n"
     "station answered within --timeout.",
     false, Completion::File, "json"},
    {Command::Raw, "raw", "GROUP CODE [HEXBYTES]", raw,
     "one transaction; GROUP, CODE and the data in hexadecimal\n"
     "(raw 0D 10 0000); prints result, status, status text, data"},
    {Command::UdevRule, "udev-rule", {}, noOperand<Command::UdevRule>,
     "print a udev rule for the reader's USB serial adapter:\n"
     "its own /dev/qn480-SERIAL name, access for the desktop\n"
     "user and the dialout group, no ModemManager probing\n"
     "(the device: -d PATH, else $QN480_DEVICE; Linux only)"},
    {Command::UidForms, "uid-forms", "HEX",
     [](Options &o, std::span<const std::string_view> w) { o.uidWords.assign(w.begin(), w.end()); },
     "every form of a UID given in hexadecimal, in the order\n"
     "the card sends it (04A1B2C3D4E5F6, 04:a1:b2 ...): hex,\n"
     "hex-rev, dec, dec-rev, dec10, dec10-rev, dec8, w26; a\n"
     "form that cannot apply says why. No reader needed."},
    {Command::LogExport, "log export", "FILE", logExport,
     "a card log file (poll --log, the window's log file) as\n"
     "a spreadsheet (.xlsx: UIDs and other hexadecimal fields\n"
     "as text, times as date-time cells) and/or as CSV (the\n"
     "window's Save as CSV; - for stdout). A line that is no\n"
     "card event is skipped with a warning. No reader needed.",
     {}, true, Completion::File, "jsonl"},
};
// clang-format on

} // namespace

bool Options::needsReader() const
{
    // A keypad command with --mqtt goes through the station that serves the reader.
    return (kReaderCommands & commandBit(command)) != 0 &&
           (command == Command::Poll || mqtt.url.empty());
}

bool Options::writesToReader() const
{
    return (kWriting & commandBit(command)) != 0;
}

ReaderChoice chooseReader(const Options &options, std::string_view fromEnvironment)
{
    ReaderChoice choice{options.device, options.port};
    if (choice.device.empty() && choice.port.empty())
        (comNumberOf(fromEnvironment) != 0 ? choice.port : choice.device) = fromEnvironment;
    // "The only serial port" of a PC is its on-board ttyS0, whatever hangs there: settings
    // and raw bytes go only where the user said.
    if (choice.device.empty() && choice.port.empty() && options.writesToReader()) {
        throw UsageError(std::string(commandRow(options.command).words) +
                         " writes to the reader, so it needs its port: --port COMnn, "
                         "--device PATH or " +
                         kDeviceVariable);
    }
    return choice;
}

// Bytes typed in hexadecimal, as raw's data and uid-forms' UID take them.
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
        if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
            word.remove_prefix(2);
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

std::span<const OptionRow> optionRows()
{
    return kOptions;
}

std::span<const CommandRow> commandRows()
{
    return kCommands;
}

const CommandRow &commandRow(Command command)
{
    return *std::find_if(std::begin(kCommands), std::end(kCommands),
                         [&](const CommandRow &c) { return c.command == command; });
}

std::string optionLabel(const OptionRow &option)
{
    std::string label;
    if (option.shortName != 0)
        label = std::string("-") + option.shortName + ", ";
    label += "--" + std::string(option.name);
    if (!option.value.empty())
        label += " " + std::string(option.value);
    return label;
}

} // namespace qn480::cli
