// SPDX-License-Identifier: GPL-3.0-or-later
// qn480ctl's help and version texts.
#include "log_export_command.h"
#include "options.h"
#include "udev_rule.h"
#include "uid_forms_command.h"

#include <string>
#include <string_view>

namespace qn480::cli {

namespace {

// A build without libmosquitto (Windows') has no station: the full text says so.
#ifdef QN480_HAVE_STATION
constexpr std::string_view kStationNote;
#else
constexpr std::string_view kStationNote = R"(
This build has no MQTT client: poll --mqtt and the options that go with it are refused.
)";
#endif

// The full text.
std::string wholeUsage()
{
    return std::string(R"(Usage: qn480ctl [-p COMnn | -d PATH] [-t] [-j] [-q] [-w] COMMAND

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
                              PREFIX/READER/event, uid, cards, status and
                              diagnostics. Each event
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
      --ha-discovery          announce the reader to Home Assistant as a tag scanner,
                              with a "last card" and a "spool depth" sensor
      --delivery-timeout SECONDS  with -n or --timeout: wait up to SECONDS (10) at the
                              end for the broker to take every event; exit 5 when
                              some still wait in the spool
      --uid-max-age SECONDS   an event published later than SECONDS (5) after it was
                              seen is a replay: "replayed": true, and not on the uid
                              topic, where automations start
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
                       std::string(kUidFormsUsage) + std::string(kLogExportUsage) +
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
     unexpected failure (the port is given back first); or poll --mqtt: the
     broker refused the user or password, or the spool failed
  2  usage: the command line or a profile is wrong (or a TLS file of --mqtt)
  3  the port could not be opened, or the reader was disconnected (unplugged)
  4  no answer from the reader, or --timeout ran out
  5  poll --mqtt with -n or --timeout: events still wait in the spool after
     --delivery-timeout; they go out on the next run
  128+N  stopped by signal N (SIGINT, SIGTERM, SIGHUP), but for poll's Ctrl-C and SIGTERM
)") + std::string(kStationNote);
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
    if (topic == "log")
        return "Usage: qn480ctl log export FILE [--xlsx OUT] [--csv OUT]\n" +
               std::string(kLogExportUsage);
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
