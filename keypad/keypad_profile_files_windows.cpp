// SPDX-License-Identifier: GPL-3.0-or-later
// Reading and writing profile files on Windows: a file read whole, and replaced whole (a
// temporary file renamed over it), so that a failed write leaves the old one.
#include "csv.h"
#include "keypad_profile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>

namespace qn480 {

namespace {

ProfileFile failed(ProfileFault fault, std::string message)
{
    return {fault, std::move(message), false, {}};
}

} // namespace

ProfileFile readProfile(const std::string &path, StopWatch stop)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (path != "-" && fs::is_directory(path, error))
        return failed(ProfileFault::Refused,
                      "profile " + path + ": is a directory, not a profile; nothing sent");
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
        errno = 0;
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return failed(ProfileFault::Refused, "cannot read " + path + ": " +
                                                     std::strerror(errno != 0 ? errno : ENOENT));
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (stop.stop != 0)
        return {ProfileFault::None, {}, true, {}};
    return profileIn(path, text);
}

ProfileFile writeProfile(const std::string &path, std::string_view text, StopWatch)
{
    std::error_code error;
    const bool exists = std::filesystem::exists(path, error);
    if (exists && std::filesystem::is_directory(path, error))
        return failed(ProfileFault::Refused, "cannot write " + path + ": it is a directory");
    if (const std::string reason = saveWhole(path, text); !reason.empty()) {
        return failed(ProfileFault::WriteFailed, "cannot write " + path + ": " + reason +
                                                     (exists ? "; the file is as it was" : ""));
    }
    return {};
}

} // namespace qn480
