// SPDX-License-Identifier: GPL-3.0-or-later
#include "connection.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qn480::station {

namespace {

bool isDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The text of a URL part fit for a message: printable ASCII only.
std::string printable(std::string_view text)
{
    std::string out;
    for (char c : text)
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

// "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0" gives "A50285BI"; an adapter without a serial
// number ("usb-1a86_USB_Serial-if00-port0") keeps its vendor and model. A second interface of
// one adapter keeps its number.
std::string nameFromById(std::string link)
{
    if (link.starts_with("usb-"))
        link.erase(0, 4);
    std::string interface;
    const std::size_t ifAt = link.rfind("-if");
    if (ifAt != std::string::npos) {
        std::string rest = link.substr(ifAt + 3);
        const std::size_t dash = rest.find('-');
        const std::string number = rest.substr(0, dash);
        if (isDigits(number)) {
            if (number != "00")
                interface = "-if" + number;
            link.erase(ifAt);
        }
    }
    const std::size_t lastUnderscore = link.rfind('_');
    if (lastUnderscore != std::string::npos) {
        const std::string serial = link.substr(lastUnderscore + 1);
        const bool looksLikeSerial =
            serial.size() >= 4 &&
            std::any_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (looksLikeSerial && std::count(link.begin(), link.end(), '_') >= 2)
            link = serial;
    }
    return link + interface;
}

} // namespace

std::string_view checkTopicText(std::string_view text, std::string_view what)
{
    if (text.size() > kMaxTopicText)
        throw ConnectionError(std::string(what) + " is " + std::to_string(text.size()) +
                              " bytes long; at most " + std::to_string(kMaxTopicText) +
                              " fit in a topic");
    for (std::size_t pos = 0; pos < text.size();) {
        const std::optional<char32_t> code = nextCodePoint(text, pos);
        if (!code)
            throw ConnectionError(std::string(what) + " \"" + printable(text) + "\" is not UTF-8");
        if (*code < 0x20 || (*code >= 0x7F && *code < 0xA0) || *code == '+' || *code == '#')
            throw ConnectionError(std::string(what) + " \"" + printable(text) +
                                  "\" holds '+', '#' or a control character");
    }
    return text;
}

std::string BrokerUrl::display() const
{
    std::string text = tls ? "mqtts://" : "mqtt://";
    if (!user.empty())
        text += printable(user) + "@";
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port) + "/" + printable(prefix);
}

BrokerUrl parseBrokerUrl(std::string_view url)
{
    BrokerUrl parsed;
    const std::string_view usage =
        "; use mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://[USER@]HOST[:PORT]/PREFIX";
    std::string_view rest;
    if (url.starts_with("mqtt://")) {
        rest = url.substr(7);
    } else if (url.starts_with("mqtts://")) {
        parsed.tls = true;
        rest = url.substr(8);
    } else {
        throw ConnectionError("the broker URL must start with mqtt:// or mqtts://" +
                              std::string(usage));
    }
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    const std::string_view prefix = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
    // A password may hold '/' (mqtt://bob:s3cr/et@host/p): the user part then ends only at
    // the last '@', and the ':' before the first '/' is either a password's or a port's (as
    // in mqtt://bob:12345/x@host/p). Nothing of such a URL is quoted; an '@' in the prefix of
    // a URL with a port is refused with it.
    const std::size_t lastAt = rest.rfind('@');
    if (lastAt != std::string_view::npos && lastAt > authority.size()) {
        std::string_view before = rest.substr(0, lastAt);
        if (before.starts_with("["))
            before.remove_prefix(std::min(before.find(']'), before.size()));
        if (before.substr(0, before.find('/')).find(':') != std::string_view::npos)
            throw ConnectionError("the broker URL holds a password, or an '@' in the prefix "
                                  "after a port",
                                  ConnectionError::Fault::PasswordInUrl);
    }
    const std::size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view user = authority.substr(0, at);
        if (user.find(':') != std::string_view::npos)
            throw ConnectionError("the broker URL holds a password",
                                  ConnectionError::Fault::PasswordInUrl);
        if (user.empty())
            throw ConnectionError("the broker URL has an empty user name before '@'");
        parsed.user = user;
        authority = authority.substr(at + 1);
    }
    std::string_view port;
    if (authority.starts_with("[")) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            throw ConnectionError("the broker URL's IPv6 address lacks its ']'");
        parsed.host = authority.substr(1, close - 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(":"))
            throw ConnectionError("the broker URL has text after the IPv6 address's ']'");
        port = after.empty() ? after : after.substr(1);
        if (after.starts_with(":") && port.empty())
            throw ConnectionError("the broker URL has an empty port after ':'");
    } else {
        const std::size_t colon = authority.find(':');
        parsed.host = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty())
                throw ConnectionError("the broker URL has an empty port after ':'");
        }
    }
    if (parsed.host.empty())
        throw ConnectionError("the broker URL names no host" + std::string(usage));
    for (char c : parsed.host) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '/' || c == '@')
            throw ConnectionError("the broker URL's host " + printable(parsed.host) +
                                  " is not a host name or address");
    }
    parsed.port = parsed.tls ? 8883 : 1883;
    if (!port.empty()) {
        const std::optional<long long> value = decimalIn(port, 1, 65535);
        if (!value)
            throw ConnectionError("the broker URL's port " + printable(port) +
                                  " is not a number from 1 to 65535");
        parsed.port = static_cast<int>(*value);
    }
    // Each level of the prefix is kept as given, but wildcards cannot be published to and
    // empty levels are a typing slip.
    if (prefix.empty() || prefix.ends_with("/"))
        throw ConnectionError("the broker URL needs a topic prefix after the host, as in "
                              "mqtt://broker/plant");
    for (std::size_t start = 0; start <= prefix.size();) {
        const std::size_t end = std::min(prefix.find('/', start), prefix.size());
        if (end == start)
            throw ConnectionError("the broker URL's prefix " + printable(prefix) +
                                  " has an empty level");
        start = end + 1;
    }
    parsed.prefix = checkTopicText(prefix, "the broker URL's prefix");
    return parsed;
}

namespace {

// Up to `limit` bytes from the start of the regular file `path`. Only a regular file: a FIFO
// or a pipe with no writer would hold the run at its open or its read, where no stop signal
// ends the wait.
std::string readRegularFile(const std::string &path, std::size_t limit, const std::string &what,
                            std::string_view instead)
{
    const std::string name = printable(path);
    const std::string notRegular =
        what + " " + name + " is not a regular file; " + std::string(instead);
    std::string text(limit, '\0');
#ifdef _WIN32
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw ConnectionError(error ? "cannot read " + what + " " + name + ": " + error.message()
                                    : notRegular);
    std::ifstream in(path, std::ios::binary);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || (!in && !in.eof()))
        throw ConnectionError("cannot read " + what + " " + name);
    text.resize(static_cast<std::size_t>(in.gcount()));
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        throw ConnectionError("cannot read " + what + " " + name + ": " + std::strerror(error));
    }
    struct stat status
    {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        throw ConnectionError(notRegular);
    }
    ssize_t n;
    do {
        n = ::read(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    ::close(fd);
    if (n < 0)
        throw ConnectionError("cannot read " + what + " " + name + ": " + std::strerror(error));
    text.resize(static_cast<std::size_t>(n));
#endif
    return text;
}

} // namespace

std::optional<std::string> readPassword(const std::optional<std::string> &file,
                                        const char *fromEnvironment)
{
    if (file) {
        // The first line is all that is used, and no password is longer than this.
        const std::string text = readRegularFile(
            *file, 4096, "the password file",
            std::string("give the password in a regular file or in ") + kPasswordVariable);
        std::string password = text.substr(0, text.find('\n'));
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        if (password.empty())
            throw ConnectionError("the password file " + printable(*file) + " is empty");
        return password;
    }
    if (fromEnvironment && *fromEnvironment)
        return std::string(fromEnvironment);
    return std::nullopt;
}

BrokerLogin brokerLogin(const StationOptions &options)
{
    return {parseBrokerUrl(options.url),
            readPassword(options.passwordFile.empty()
                             ? std::nullopt
                             : std::optional<std::string>(options.passwordFile),
                         std::getenv(kPasswordVariable)),
            options.ca, options.cert, options.key};
}

void checkTlsSettings(bool tls, std::string_view ca, std::string_view cert, std::string_view key)
{
    if (!tls && (!ca.empty() || !cert.empty() || !key.empty()))
        throw ConnectionError("a CA file, a client certificate or a key needs an mqtts:// URL",
                              ConnectionError::Fault::TlsNeedsMqtts);
    if (cert.empty() != key.empty())
        throw ConnectionError("a client certificate and its key go together",
                              ConnectionError::Fault::CertWithoutKey);
}

std::string_view checkReaderName(std::string_view name)
{
    if (name.empty() || topicSafe(name) != name)
        throw ConnectionError("the reader name \"" + printable(name) +
                              "\" holds more than letters, digits, '-' and '_'");
    return name;
}

std::string topicSafe(std::string_view name)
{
    std::string safe;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool keep = (u < 0x80 && std::isalnum(u) != 0) || c == '-' || c == '_';
        safe += keep ? c : '_';
    }
    return safe.empty() ? "reader" : safe;
}

std::string defaultReaderName(const std::string &devicePath, const std::string &byIdPath)
{
    const std::filesystem::path device(devicePath);
    const std::filesystem::path byIdDir(byIdPath);
    std::error_code error;
    if (device.parent_path() == byIdDir)
        return topicSafe(nameFromById(device.filename().string()));
    const std::filesystem::path target = std::filesystem::canonical(device, error);
    if (!error) {
        for (const auto &entry : std::filesystem::directory_iterator(byIdDir, error)) {
            std::error_code ignored;
            if (std::filesystem::canonical(entry.path(), ignored) == target && !ignored)
                return topicSafe(nameFromById(entry.path().filename().string()));
        }
    }
    return topicSafe(device.filename().string());
}

std::string defaultSpoolDir(std::string_view reader, const char *xdgStateHome, const char *home)
{
    std::filesystem::path base;
    if (xdgStateHome && std::filesystem::path(xdgStateHome).is_absolute())
        base = xdgStateHome;
    else if (home && std::filesystem::path(home).is_absolute())
        base = std::filesystem::path(home) / ".local/state";
    else
        throw ConnectionError("no folder for the spool: set XDG_STATE_HOME or HOME",
                              ConnectionError::Fault::NoSpoolFolder);
    return (base / "qn480" / "spool" / std::string(reader)).string();
}

} // namespace qn480::station
