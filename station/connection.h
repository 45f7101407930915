// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qn480::station {

// A broker address, a password source, a reader name or a spool place that cannot be used.
// The text names them as this library knows them (the broker URL, the password file) and
// never holds a password; fault() tells a caller the rules it may word as its own settings.
class ConnectionError : public std::runtime_error
{
public:
    enum class Fault {
        Other,
        PasswordInUrl,  // the broker URL holds a password, which belongs elsewhere
        TlsNeedsMqtts,  // a CA file, certificate or key with an mqtt:// URL
        CertWithoutKey, // a client certificate without its key, or a key without it
        NoSpoolFolder,  // no place for the default spool
    };
    explicit ConnectionError(const std::string &text, Fault fault = Fault::Other)
        : std::runtime_error(text)
        , m_fault(fault)
    {}
    Fault fault() const { return m_fault; }

private:
    Fault m_fault;
};

// A station's settings as given; empty strings are settings not given. stationConfig()
// turns them into the station's configuration.
struct StationOptions
{
    std::string url;
    std::string passwordFile; // empty: the password from QN480_MQTT_PASSWORD
    std::string ca;
    std::string cert;
    std::string key;
    std::string reader; // topic-safe; empty: from the adapter or the device
    std::string spool;  // empty: $XDG_STATE_HOME/qn480/spool/READER
    bool haDiscovery = false;
    // Events older than this when published are replays: never on the uid topic.
    std::chrono::milliseconds uidMaxAge{5000};
    bool remoteKeypad = false; // the keypad settings are served to the broker
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

// How to reach a broker and log in: the URL, the password (used only with the URL's user),
// and for mqtts:// the CA file (empty: the system's certificates) and a client certificate
// with its key, both or neither.
struct BrokerLogin
{
    BrokerUrl broker;
    std::optional<std::string> password;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

// The login `options` give: the URL parsed and the password read (from the file, else from
// QN480_MQTT_PASSWORD). Throws ConnectionError.
BrokerLogin brokerLogin(const StationOptions &options);

// TLS files go with a TLS connection, and a client certificate with its key. Throws
// ConnectionError (TlsNeedsMqtts, CertWithoutKey).
void checkTlsSettings(bool tls, std::string_view ca, std::string_view cert, std::string_view key);

// `name` when it is one topic level and a Home Assistant object id: letters, digits, '-' and
// '_' only. Throws ConnectionError.
std::string_view checkReaderName(std::string_view name);

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
// the variable is unset or not absolute. Throws ConnectionError (NoSpoolFolder) when neither
// can be found.
std::string defaultSpoolDir(std::string_view reader, const char *xdgStateHome, const char *home);

} // namespace qn480::station
