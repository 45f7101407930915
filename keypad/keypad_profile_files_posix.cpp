// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing profile files on POSIX: FIFOs and devices waited for stoppably, a
// regular file replaced whole with its mode kept.
#include "keypad_profile.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qn480 {

namespace {

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

ProfileFile failed(ProfileFault fault, std::string message)
{
    return {fault, std::move(message), false, {}};
}

ProfileFile stoppedFile()
{
    return {ProfileFault::None, {}, true, {}};
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
            return failed(ProfileFault::WriteFailed,
                          "cannot write " + path + ": " + systemError(errno));
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
        return failed(ProfileFault::WriteFailed,
                      "cannot write " + path + ": " + systemError(error));
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
        return failed(ProfileFault::Refused, "cannot read " + path + ": " + systemError(errno));
    struct stat info
    {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        if (!fromStdin)
            ::close(fd);
        return failed(ProfileFault::Refused,
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
        return failed(ProfileFault::Refused, "cannot read " + path + ": " + systemError(error));
    return profileIn(path, text);
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
        return failed(ProfileFault::Refused,
                      path + " is a symbolic link; keypad save does not follow it: "
                             "give the file it points to");
    }
    if (exists && S_ISDIR(target.st_mode))
        return failed(ProfileFault::Refused, "cannot write " + path + ": it is a directory");
    if (exists && !S_ISREG(target.st_mode))
        return writeDirectly(path, text, stop);

    // Beside the target, so that the rename stays on one file system.
    const std::filesystem::path where(path);
    const std::filesystem::path folder =
        where.has_parent_path() ? where.parent_path() : std::filesystem::path(".");
    std::string temporary = (folder / ("." + where.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return failed(ProfileFault::WriteFailed,
                      "cannot write " + path + ": " + systemError(errno));
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
        return failed(ProfileFault::WriteFailed, "cannot write " + path + ": " +
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

} // namespace qn480
