// SPDX-License-Identifier: GPL-3.0-or-later
#include "error_line.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace qn480 {

namespace {

std::mutex &errorMutex()
{
    static std::mutex mutex;
    return mutex;
}

void writeWhole(const std::string &text)
{
    std::lock_guard lock(errorMutex());
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to tell it
        done += std::size_t(n);
    }
}

// This thread's line so far; what a thread leaves unfinished goes out when it ends.
struct PendingLine
{
    std::string text;
    ~PendingLine()
    {
        if (!text.empty())
            writeWhole(text + '\n');
    }
};

thread_local PendingLine t_pending;

class ErrorLineBuffer final : public std::streambuf
{
protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        xsputn(&ch, 1);
        return c;
    }

    std::streamsize xsputn(const char *s, std::streamsize n) override
    {
        std::string &pending = t_pending.text;
        for (std::string_view rest(s, std::size_t(n)); !rest.empty();) {
            const std::size_t end = rest.find('\n');
            if (end == std::string_view::npos) {
                pending.append(rest);
                break;
            }
            pending.append(rest.substr(0, end + 1));
            writeWhole(pending);
            pending.clear();
            rest.remove_prefix(end + 1);
        }
        return n;
    }
};

} // namespace

void writeErrorLine(std::string_view line)
{
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text += '\n';
    writeWhole(text);
}

std::streambuf &errorLineBuffer()
{
    // Never destroyed: std::cerr may still be flushed after static destructors have run.
    static auto *buffer = new ErrorLineBuffer;
    return *buffer;
}

} // namespace qn480
