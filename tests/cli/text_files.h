// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a program or the build wrote, as the tests read it: lines, and whole files.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qn480::testing {

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The file's text; empty when it cannot be read.
inline std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Option names ("-n", "--count") in `text`, where a word starts with them.
inline std::set<std::string> optionNamesIn(const std::string &text)
{
    static const std::regex name(R"((^|[^A-Za-z0-9-])(--?[A-Za-z][A-Za-z0-9-]*))");
    std::set<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), name);
         it != std::sregex_iterator(); ++it)
        names.insert((*it)[2]);
    return names;
}

} // namespace qn480::testing
