// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qn480::station {

// A broker address, a password source or a reader name that cannot be used. The text never
// holds a password.
class ConnectionError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...
struct BrokerUrl
{
    bool tls = false;
    std::string user; // empty: no user name
    std::string host; // a name, an IPv4 address or an IPv6 address without its brackets
    int port = 0;     // 1883, or 8883 for mqtts, when the URL names none
    std::string prefix;

    // "mqtts://host:8883/prefix", with the user but never a password, for messages.
    std::string display() const;
};

// Throws ConnectionError. A password in the URL (user:secret@) is refused without quoting it:
// it belongs in the environment or a file, where ps and shell histories do not show it.
BrokerUrl parseBrokerUrl(std::string_view url);

// Topic text that a broker takes: UTF-8 without '+', '#' or control characters, and short
// enough that every topic made of it stays readable.
inline constexpr std::size_t kMaxTopicText = 200;
// `text`, or ConnectionError naming it as `what` ("the broker URL's prefix").
std::string_view checkTopicText(std::string_view text, std::string_view what);

// The variable that holds the broker's password.
inline constexpr const char *kPasswordVariable = "QN480_MQTT_PASSWORD";

// The password from `file` (its first line) when given, else from `fromEnvironment`; nothing
// when neither has one. Throws ConnectionError naming the file, never its contents.
std::optional<std::string> readPassword(const std::optional<std::string> &file,
                                        const char *fromEnvironment);

// `name` with every character that is not a letter, digit, '-' or '_' turned into '_', so
// that it is one topic level (no '/', '+' or '#') and a Home Assistant object id; "reader"
// when nothing is left.
std::string topicSafe(std::string_view name);

// The reader's default name: the serial number in the adapter's /dev/serial/by-id name when
// `byIdDir` holds a link to `device` (or `device` is such a link), else the device's base name
// (/dev/qn480-A50285BI gives qn480-A50285BI); topic-safe either way.
std::string defaultReaderName(const std::string &device,
                              const std::string &byIdDir = "/dev/serial/by-id");

// The default spool of a reader: $XDG_STATE_HOME/qn480/spool/READER, with ~/.local/state when
// the variable is unset or not absolute. Throws ConnectionError when neither can be found.
std::string defaultSpoolDir(std::string_view reader, const char *xdgStateHome, const char *home);

} // namespace qn480::station
