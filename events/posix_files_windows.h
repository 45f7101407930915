// SPDX-License-Identifier: GPL-3.0-or-later
// The few POSIX file calls the card log makes, on the Windows C runtime: locks on the whole
// file, binary descriptors that no child inherits, and a read at an offset.
#pragma once

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <windows.h>

namespace qn480::posix_files {

inline constexpr int LOCK_EX = 2;
inline constexpr int LOCK_UN = 8;
// Windows has no sockets among files, and no non-blocking opens of them.
inline constexpr int O_NONBLOCK = 0;
inline constexpr int O_CLOEXEC = O_NOINHERIT | O_BINARY;

inline bool S_ISSOCK(unsigned)
{
    return false;
}

inline int flock(int fd, int operation)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED whole{};
    const BOOL done = operation == LOCK_UN ? UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole)
                                           : LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD,
                                                        MAXDWORD, &whole);
    if (done)
        return 0;
    errno = EIO;
    return -1;
}

inline int fsync(int fd)
{
    return _commit(fd);
}

inline long long pread(int fd, void *into, unsigned count, off_t offset)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<unsigned long long>(offset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
    DWORD got = 0;
    if (!ReadFile(file, into, count, &got, &at))
        return -1;
    return got;
}

} // namespace qn480::posix_files
