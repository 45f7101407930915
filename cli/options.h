// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "actions.h"
#include "card_record.h"
#include "connection.h"
#include "keypad_settings.h"
#include "uid_forms.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qn480::cli {

// What every line qn480ctl writes to stderr starts with.
inline constexpr std::string_view kProgram = "qn480ctl: ";

// Writes `line` to `err` after kProgram, in one piece; returns `code`, for a command that
// ends with it.
inline int tell(std::ostream &err, int code, const std::string &line)
{
    err << std::string(kProgram) + line + "\n" << std::flush;
    return code;
}

// Exit codes of qn480ctl, documented in --help and the manual page.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitReaderError = 1, // the reader answered with an error status or a reply it could not use
    kExitUsage = 2,
    kExitPortFailed = 3,  // the port could not be opened
    kExitNoAnswer = 4,    // no valid answer within the time-out
    kExitUndelivered = 5, // poll --mqtt ended with events still waiting in the spool
    kExitNoStation = 6,   // keypad --mqtt: no station answered within the time-out
};

// A command line that cannot be run; the text is the one line shown to the user.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum class Command {
    Help,
    Version,
    Ports,
    Poll,
    KeypadGet,
    KeypadSet,
    KeypadDefaults,
    KeypadSave,
    KeypadLoad,
    Raw,
    UdevRule,
    UidForms,
    LogExport,
};

struct Options
{
    Command command = Command::Help;
    std::string port;   // --port COMnn, empty when not given
    std::string device; // --device PATH, empty when not given
    bool trace = false;
    bool json = false;
    bool quiet = false; // no progress messages on stderr; failures still go there
    bool wait = false;  // a reader missing at start or unplugged later is waited for
    bool probe = false; // ports: ask each free port whether a QN480 answers

    // --help after a command: that command's usage ("poll", "keypad set", "keypad"); empty
    // for the whole text
    std::string helpTopic;

    // poll
    AirInterface air = AirInterface::Iso14443A;
    int count = 0; // cards to announce before stopping; 0: until interrupted
    std::optional<std::chrono::milliseconds> timeout; // give up after this long
    // The form text lines lead with, the card log and a command for each card
    std::optional<UidForm> uidForm;
    std::string logFile;
    ActionSetup actions;

    // keypad save and load: the profile's path, "-" for stdout or stdin
    std::string profile;

    // keypad set: only what it gives is sent
    KeypadPatch keypad;

    // raw
    std::uint8_t group = 0;
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;

    // uid-forms: the UID's words as typed
    std::vector<std::string> uidWords;

    // log export: the log read and what it is written as
    std::string logInput;
    std::optional<std::string> xlsx;
    std::optional<std::string> csv;

    // poll --mqtt: the station's settings as given, and with --count or --timeout, how long
    // the end of the poll waits for the broker to take what waits in the spool.
    station::StationOptions mqtt;
    std::chrono::milliseconds deliveryTimeout{10000};
    // keypad load --mqtt --fleet: the fleet's desired state, or with --clear its removal.
    bool fleet = false;
    bool clear = false;

    // Whether the command talks to the reader (and so needs a port).
    bool needsReader() const;
    // Whether the command changes the reader's settings or sends arbitrary bytes: such a
    // command is never sent to a port it guessed.
    bool writesToReader() const;
};

// The reader a command talks to: a device path, else a COM name; both empty: the only
// serial port there is.
struct ReaderChoice
{
    std::string device;
    std::string port;
};

// --device, else --port, else `fromEnvironment` (QN480_DEVICE: a COM name or a path).
// Throws UsageError when a command that writes to the reader names none of them.
ReaderChoice chooseReader(const Options &options, std::string_view fromEnvironment);

// Reads the arguments after the program name; throws UsageError.
Options parseArguments(std::span<const std::string_view> args);

// The environment variable that names the reader when neither --port nor --device does:
// a COM name or a device path.
inline constexpr const char *kDeviceVariable = "QN480_DEVICE";

// Hexadecimal bytes with optional blanks, colons or a 0x prefix per byte: "0A0B", "0a 0b",
// "0A:0B". Throws UsageError.
std::vector<std::uint8_t> parseHexBytes(std::string_view text);

// The station's refusal of its settings as qn480ctl words it: with the options that give them
// and where else a password or a spool may come from.
std::string stationErrorText(const station::ConnectionError &error);

// The --help text, and the --version line. With a topic ("poll", "keypad set", "keypad"),
// the usage of that command alone; both made from the command model.
std::string usageText(std::string_view topic = {});
std::string versionText();

} // namespace qn480::cli
