// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl's help and version texts, made from the command model.
#include "command_model.h"

#include <string>
#include <string_view>

namespace qn480::cli {

namespace {

// A build without libmosquitto (Windows') has no station: the full text says so.
#ifdef QN480_HAVE_STATION
constexpr std::string_view kStationNote;
#else
constexpr std::string_view kStationNote = R"(
This build has no MQTT client: --mqtt and the options that go with it are refused.
)";
#endif

constexpr std::size_t kHelpColumn = 30;
constexpr std::size_t kOptionColumn = 23;

// `help`'s lines, the first after `label`, the others at `column`.
std::string entry(std::string label, std::string_view help, std::size_t column)
{
    if (label.size() + 2 > column + 4)
        label += "\n" + std::string(column, ' ');
    else
        label += std::string(label.size() + 2 > column ? 2 : column - label.size(), ' ');
    std::string text = label;
    for (std::size_t pos = 0; pos < help.size();) {
        const std::size_t end = std::min(help.find('\n', pos), help.size());
        text += (pos == 0 ? "" : std::string(column, ' ')) +
                std::string(help.substr(pos, end - pos)) + "\n";
        pos = end + 1;
    }
    return text;
}

std::string synopsis(const CommandRow &command)
{
    return std::string(command.words) +
           (command.operands.empty() ? "" : " " + std::string(command.operands));
}

// A command's entry under Commands: its line, its own options, its notes.
std::string commandEntry(const CommandRow &command)
{
    std::string text = entry("  " + synopsis(command), command.help, kHelpColumn);
    for (const OptionRow &option : optionRows()) {
        // An option several commands take is told under the first; the others' notes say how.
        const CommandSet own = option.commands & commandBit(command.command);
        if (option.reach == Reach::Own && own != 0 && (option.commands & (own - 1)) == 0)
            text += entry("      " + optionLabel(option), option.help, kHelpColumn);
    }
    if (!command.notes.empty())
        text += entry(std::string(kHelpColumn - 2, ' '), command.notes, kHelpColumn);
    return text;
}

// The options of every command that `commands` take, as a usage line shows them.
std::string globalSynopsis(CommandSet commands)
{
    std::string text;
    for (const OptionRow &option : optionRows()) {
        if (option.reach == Reach::Own || (option.commands & commands) == 0)
            continue;
        const std::string form = std::string("-") + option.shortName +
                                 (option.value.empty() ? "" : " " + std::string(option.value));
        if (!text.empty() && text.back() == '|')
            text += " " + form + "] ";
        else if (!option.excludes.empty())
            text += "[" + form + " |";
        else
            text += "[" + form + "] ";
    }
    if (!text.empty() && text.back() == '|')
        text.replace(text.size() - 2, 2, "] "); // only the first of a pair is taken
    return text;
}

std::string wholeUsage()
{
    std::string text = "Usage: qn480ctl " + globalSynopsis(~CommandSet{0}) + "COMMAND\n\n" +
                       "Scripted access to a QN480 contactless card reader on a serial port "
                       "(115200 baud, 8N1),\nrunning the same procedures as the qn480-tool "
                       "window.\n\nCommands:\n";
    for (const CommandRow &command : commandRows()) {
        if (!command.help.empty())
            text += commandEntry(command);
    }
    text += "\nOptions:\n";
    for (const OptionRow &option : optionRows()) {
        if (option.reach != Reach::Own)
            text += entry("  " + optionLabel(option), option.help, kOptionColumn);
    }
    return text +
           entry("  -h, --help",
                 "this text; after a command (poll --help), that "
                 "command's usage",
                 kOptionColumn) +
           entry("  -V, --version", "the version", kOptionColumn) +
           R"(Options may stand before or after the command; a value may follow an equals sign
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
     unexpected failure (the port is given back first); or poll --mqtt: the
     broker refused the user or password, or the spool failed
  2  usage: the command line or a profile is wrong (or a TLS file of --mqtt)
  3  the port could not be opened, or the reader was disconnected (unplugged)
  4  no answer from the reader, or --timeout ran out
  5  poll --mqtt with -n or --timeout: events still wait in the spool after
     --delivery-timeout; they go out on the next run
  6  keypad --mqtt: no station answered within --timeout
  128+N  stopped by signal N (SIGINT, SIGTERM, SIGHUP), but for poll's Ctrl-C and SIGTERM
)" + std::string(kStationNote);
}

} // namespace

std::string usageText(std::string_view topic)
{
    std::string lines;
    CommandSet commands = 0;
    const CommandRow *only = nullptr; // one command, else a group of them ("keypad")
    for (const CommandRow &command : commandRows()) {
        const std::string_view words = command.words;
        if (command.help.empty() || !words.starts_with(topic) || topic.empty() ||
            (words.size() > topic.size() && words[topic.size()] != ' '))
            continue;
        lines += commandEntry(command);
        only = commands == 0 ? &command : nullptr;
        commands |= commandBit(command.command);
    }
    if (lines.empty())
        return wholeUsage();
    std::string text = "Usage: qn480ctl " + globalSynopsis(commands) +
                       (only != nullptr ? synopsis(*only) : std::string(topic) + " ...") + "\n\n" +
                       lines + "\n";
    Options one;
    one.command = only != nullptr ? only->command : Command::KeypadGet;
    if (only == nullptr)
        text += "The reader's port: -p COMnn, -d PATH or QN480_DEVICE; get and save may take "
                "the only\nserial port there is, the others never guess.\n";
    else if (one.writesToReader())
        text += "The reader's port: -p COMnn, -d PATH or QN480_DEVICE; never guessed.\n";
    else if (one.needsReader())
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
