// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qn480::testing {

// A folder of the test's own, made by mkdtemp (mode 0700, a name no one can guess) and
// removed with its contents at the end. Links to ptys kept here cannot meet those of another
// test, or of another run of the suite beside this one.
class PrivateDir
{
public:
    explicit PrivateDir(const std::string &prefix = "qn480-test")
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a folder like " + pattern);
        m_path = pattern;
    }
    ~PrivateDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    PrivateDir(const PrivateDir &) = delete;
    PrivateDir &operator=(const PrivateDir &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    // The path of `name` in the folder.
    std::string operator/(const std::string &name) const { return (m_path / name).string(); }
    // What the file `name` in the folder holds, byte for byte.
    std::string text(const std::string &name) const
    {
        std::ifstream in(m_path / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::filesystem::path m_path;
};

} // namespace qn480::testing
