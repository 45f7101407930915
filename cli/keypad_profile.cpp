// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_profile.h"

#include "json_text.h"
#include "keypad_settings.h"
#include "text_util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <span>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qn480::cli {

namespace {

// Sorted by key: of several faults, the same one is told whatever the order in the file.
using ProfileJson = nlohmann::json;

[[noreturn]] void fault(std::string_view field, const std::string &problem)
{
    throw UsageError(std::string(field) + ": " + problem);
}

std::string shown(const ProfileJson &value)
{
    std::string text = value.dump(-1, ' ', false, ProfileJson::error_handler_t::replace);
    if (text.size() > 40)
        text = text.substr(0, 37) + "...";
    return text;
}

std::uint8_t namesByte(std::string_view field, const ProfileJson &value,
                       std::span<const BitName> names)
{
    std::string known;
    for (const BitName &n : names)
        known += (known.empty() ? "" : ", ") + std::string(n.name);
    if (!value.is_array())
        fault(field, "takes a list of names such as [\"" + std::string(names[0].name) +
                         "\"], not " + shown(value));
    std::uint8_t byte = 0;
    for (const ProfileJson &item : value) {
        const std::string name = item.is_string() ? lowerCase(item.get<std::string>()) : "";
        const auto found = std::find_if(names.begin(), names.end(),
                                        [&](const BitName &n) { return n.name == name; });
        if (found == names.end())
            fault(field, "unknown name " + shown(item) + "; use " + known);
        byte |= found->mask;
    }
    return byte;
}

int count(std::string_view field, const ProfileJson &value, int unitMs)
{
    if (!value.is_number_integer() || value.get<long long>() < 0 || value.get<long long>() > 255)
        fault(field, shown(value) +
                         " is out of range; use a whole number from 0 to 255 (steps of " +
                         std::to_string(unitMs) + " ms)");
    return static_cast<int>(value.get<long long>());
}

} // namespace

KeypadPatch parseProfile(std::string_view text)
{
    // The parser would stop at a NUL and take what came before it for the whole profile.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
        throw UsageError("not a JSON profile: a NUL byte at offset " + std::to_string(nul));
    // The parser lets the last of two equal keys win; an edited profile that names a
    // setting twice is a mistake to show, not to settle silently.
    std::vector<std::set<std::string>> keys;
    const ProfileJson::parser_callback_t noDuplicates = [&](int, ProfileJson::parse_event_t event,
                                                            ProfileJson &parsed) {
        if (event == ProfileJson::parse_event_t::object_start) {
            keys.emplace_back();
        } else if (event == ProfileJson::parse_event_t::object_end) {
            keys.pop_back();
        } else if (event == ProfileJson::parse_event_t::key && !keys.empty() &&
                   !keys.back().insert(parsed.get<std::string>()).second) {
            fault(parsed.get<std::string>(), "given twice; a profile names each setting once");
        }
        return true;
    };
    ProfileJson root;
    try {
        root = ProfileJson::parse(text.begin(), text.end(), noDuplicates, true, true);
    } catch (const ProfileJson::exception &error) {
        // "[json.exception.parse_error.101] parse error at line 2, column 3: ...", and
        // "[json.exception.out_of_range.406] number overflow parsing '1e999'".
        std::string why = error.what();
        if (const auto at = why.find("] "); at != std::string::npos)
            why.erase(0, at + 2);
        throw UsageError("not a JSON profile: " + why);
    }
    if (!root.is_object())
        throw UsageError("not a JSON profile: it must be one object, as keypad get --json prints");

    KeypadPatch c;
    for (const auto &[key, value] : root.items()) {
        if (value.is_null())
            fault(key, "is null: it could not be read when the profile was made");
        if (key == "mode") {
            c.mode = namesByte(key, value, kModeNames);
        } else if (key == "types") {
            c.types = namesByte(key, value, kTypeNames);
        } else if (key == "add") {
            c.add = namesByte(key, value, kAddNames);
        } else if (key == "format") {
            const auto code = value.is_string() ? formatOf(value.get<std::string>()) : std::nullopt;
            if (!code)
                fault(key, "unknown format " + shown(value) +
                               "; use 14H, 5D, 6H, 8D, 8H, 10D, 10H, 13D, 16H, 4D, 32H or "
                               "\"code 0xNN\"");
            c.format = static_cast<std::uint8_t>(*code);
        } else if (key == "reverse") {
            // Both at once is what a reply may show, but neither keypad set nor the reader
            // takes it.
            constexpr std::array<std::pair<std::string_view, std::uint8_t>, 3> kCodes{{
                {"none", kNoReversal},
                {"byte", kReverseByte},
                {"bit", kReverseBit},
            }};
            const std::string name = value.is_string() ? lowerCase(value.get<std::string>()) : "";
            const auto found = std::find_if(kCodes.begin(), kCodes.end(),
                                            [&](const auto &k) { return k.first == name; });
            if (found == kCodes.end())
                fault(key, "takes none, byte or bit, not " + shown(value));
            c.reverse = found->second;
        } else if (key == "errors") {
            if (!value.is_object())
                fault(key, "must be an object, as keypad get --json prints it");
        } else {
            const auto timing = std::find_if(
                kTimingNames.begin(), kTimingNames.end(), [&field = key](const TimingName &t) {
                    return field == t.key || field == std::string(t.key) + "_ms";
                });
            if (timing == kTimingNames.end())
                fault(key, "unknown field; a profile holds mode, types, format, reverse, add, "
                           "send_time, scan_time and same_card_time");
            if (key != timing->key)
                continue; // the milliseconds are checked against the count below
            std::optional<std::uint8_t> &slot =
                timing->setting == KeypadSetting::SendTime   ? c.sendTime
                : timing->setting == KeypadSetting::ScanTime ? c.scanTime
                                                             : c.sameTime;
            slot = static_cast<std::uint8_t>(count(key, value, timing->unitMs));
        }
    }
    // A person who edits the milliseconds but not the count would otherwise be ignored.
    for (const TimingName &t : kTimingNames) {
        const std::string key = std::string(t.key) + "_ms";
        if (!root.contains(key))
            continue;
        const std::optional<std::uint8_t> &slot = t.setting == KeypadSetting::SendTime ? c.sendTime
                                                  : t.setting == KeypadSetting::ScanTime
                                                      ? c.scanTime
                                                      : c.sameTime;
        const ProfileJson &ms = root[key];
        if (!slot || !ms.is_number_integer() || ms.get<long long>() != *slot * t.unitMs) {
            fault(key, shown(ms) + " does not match " + std::string(t.key) +
                           "; give the count in " + std::string(t.key) + " (steps of " +
                           std::to_string(t.unitMs) + " ms)");
        }
    }
    if (std::none_of(kSettingOrder.begin(), kSettingOrder.end(),
                     [&](KeypadSetting setting) { return c.gives(setting); }))
        throw UsageError("the profile holds no setting");
    return c;
}

std::string profileText(const nlohmann::ordered_json &report)
{
    std::string text = "{\n";
    bool first = true;
    for (const auto &[key, value] : report.items()) {
        if (key == "errors")
            continue;
        text += (first ? "  " : ",\n  ") + jsonText(key) + ": " + jsonText(value);
        first = false;
    }
    return text + "\n}\n";
}

namespace {

constexpr std::size_t kMaxProfile = 64 * 1024; // a profile is a few hundred bytes
constexpr int kExitWriteFailed = 1;            // as any other failed output

std::string systemError(int error)
{
    return std::strerror(error);
}

// Waits until `fd` is ready for `events` or a stop signal came; false for the signal. A
// FIFO or a pipe may keep a blocking read or write waiting for ever, and a handler that
// restarts the call would not end it: poll() is never restarted.
bool waitFor(int fd, short events, StopWatch stop, int timeoutMs = -1)
{
    for (;;) {
        if (stop.stop != 0)
            return false;
        std::array<pollfd, 2> fds{{{fd, events, 0}, {stop.fd, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), stop.fd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (stop.stop != 0)
            return false;
        // A poll error or a time-out: the read, write or open that follows tells.
        return true;
    }
}

// Writes all of `text` to `fd`, waiting (stoppably) where it would block.
bool writeAll(int fd, std::string_view text, StopWatch stop, int &error, bool &stopped)
{
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written > 0) {
            text.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (errno == EAGAIN && !waitFor(fd, POLLOUT, stop)) {
                stopped = true;
                return false;
            }
            continue;
        }
        error = written < 0 ? errno : EIO;
        return false;
    }
    return true;
}

// While it lives, a write beyond the file size limit fails with EFBIG instead of killing
// the program with the old file half-replaced.
class FileSizeSignalIgnored
{
public:
    FileSizeSignalIgnored()
    {
        struct sigaction ignore
        {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &m_old);
    }
    ~FileSizeSignalIgnored() { sigaction(SIGXFSZ, &m_old, nullptr); }
    FileSizeSignalIgnored(const FileSizeSignalIgnored &) = delete;
    FileSizeSignalIgnored &operator=(const FileSizeSignalIgnored &) = delete;

private:
    struct sigaction m_old
    {};
};

ProfileFile failed(int code, std::string message)
{
    return {code, std::move(message), false, {}};
}

ProfileFile stoppedFile()
{
    return {kExitSuccess, {}, true, {}};
}

// A FIFO or a device: written as it is, once a reader is there.
ProfileFile writeDirectly(const std::string &path, std::string_view text, StopWatch stop)
{
    int fd = -1;
    for (;;) {
        // Non-blocking: a FIFO without a reader fails with ENXIO instead of waiting in open().
        fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0)
            break;
        if (errno != ENXIO && errno != EINTR)
            return failed(kExitWriteFailed, "cannot write " + path + ": " + systemError(errno));
        constexpr int kRetryMs = 100;
        if (!waitFor(-1, 0, stop, kRetryMs))
            return stoppedFile();
    }
    FileSizeSignalIgnored guard;
    int error = 0;
    bool stopped = false;
    const bool written = writeAll(fd, text, stop, error, stopped);
    ::close(fd);
    if (stopped)
        return stoppedFile();
    if (!written)
        return failed(kExitWriteFailed, "cannot write " + path + ": " + systemError(error));
    return {};
}

mode_t creationMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

} // namespace

ProfileFile readProfile(const std::string &path, StopWatch stop)
{
    const bool fromStdin = path == "-";
    // Non-blocking: a FIFO without a writer would otherwise wait in open(), where no
    // signal ends it.
    const int fd = fromStdin ? STDIN_FILENO
                             : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failed(kExitUsage, "cannot read " + path + ": " + systemError(errno));
    struct stat info
    {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        if (!fromStdin)
            ::close(fd);
        return failed(kExitUsage,
                      "profile " + path + ": is a directory, not a profile; nothing sent");
    }
    std::string text;
    int error = 0;
    bool stopped = false;
    std::array<char, 4096> chunk;
    for (;;) {
        // Only a read that poll() found ready: on a FIFO that no writer has opened yet a
        // non-blocking read would see the end at once.
        if (!waitFor(fd, POLLIN, stop)) {
            stopped = true;
            break;
        }
        const ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            error = errno;
        if (got <= 0)
            break;
        text.append(chunk.data(), static_cast<std::size_t>(got));
        if (text.size() > kMaxProfile)
            break;
    }
    if (!fromStdin)
        ::close(fd);
    if (stopped)
        return stoppedFile();
    if (error != 0)
        return failed(kExitUsage, "cannot read " + path + ": " + systemError(error));
    if (text.size() > kMaxProfile) {
        return failed(kExitUsage, "profile " + path + ": larger than " +
                                      std::to_string(kMaxProfile) + " bytes; not a profile");
    }
    ProfileFile read;
    try {
        read.patch = parseProfile(text);
    } catch (const UsageError &problem) {
        return failed(kExitUsage, "profile " + path + ": " + problem.what() + "; nothing sent");
    }
    return read;
}

ProfileFile writeProfile(const std::string &path, std::string_view text, StopWatch stop)
{
    struct stat target
    {};
    const bool exists = ::lstat(path.c_str(), &target) == 0;
    struct stat followed
    {};
    // /dev/stdout and /dev/fd/N are links too; what they lead to is no file to replace.
    if (exists && S_ISLNK(target.st_mode) && ::stat(path.c_str(), &followed) == 0 &&
        !S_ISREG(followed.st_mode) && !S_ISDIR(followed.st_mode))
        return writeDirectly(path, text, stop);
    if (exists && S_ISLNK(target.st_mode)) {
        // Writing through it would put the file somewhere the command line does not say.
        return failed(kExitUsage, path + " is a symbolic link; keypad save does not follow it: "
                                         "give the file it points to");
    }
    if (exists && S_ISDIR(target.st_mode))
        return failed(kExitUsage, "cannot write " + path + ": it is a directory");
    if (exists && !S_ISREG(target.st_mode))
        return writeDirectly(path, text, stop);

    // Beside the target, so that the rename stays on one file system.
    const std::filesystem::path where(path);
    const std::filesystem::path folder =
        where.has_parent_path() ? where.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / ("." + where.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failed(kExitWriteFailed, "cannot write " + path + ": " + systemError(errno));
    FileSizeSignalIgnored guard;
    int error = 0;
    bool stopped = false;
    // Each step's failure, the first one kept.
    const auto step = [&](bool ok) {
        if (!ok && error == 0)
            error = errno;
        return ok;
    };
    const bool written =
        step(::fchmod(fd, exists ? (target.st_mode & 07777) : creationMode()) == 0) &&
        writeAll(fd, text, stop, error, stopped) && step(::fsync(fd) == 0);
    const bool closed = step(::close(fd) == 0);
    if (!(written && closed && step(::rename(temporary.c_str(), path.c_str()) == 0))) {
        ::unlink(temporary.c_str());
        if (stopped)
            return stoppedFile();
        return failed(kExitWriteFailed, "cannot write " + path + ": " +
                                            systemError(error != 0 ? error : EIO) +
                                            (exists ? "; the file is as it was" : ""));
    }
    // The new name on disk too, so that a power cut does not bring the old file back.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

} // namespace qn480::cli
