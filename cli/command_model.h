// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// qn480ctl's commands and options, described once. The parser, the value checks, the rules
// between options, --help and each command's usage, the manual page's synopsis and options
// and the bash completion are all made from these two tables.

#include "options.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace qn480::cli {

// A set of commands, one bit each.
using CommandSet = std::uint32_t;

constexpr CommandSet commandBit(Command command)
{
    return CommandSet{1} << static_cast<unsigned>(command);
}

// What the shell offers for an option's value or a command's operands.
enum class Completion {
    Nothing,  // free text or a number
    Words,    // one of `words`
    WordList, // a comma list of `words`
    File,     // a file, of the extension in `words` if any
    Folder,
    Program, // a shell command
    Port,    // a COM name that `qn480ctl ports` lists
    Device,  // a device path
};

// Where an option is listed and which commands take it.
enum class Reach {
    Own,      // under its commands, and only they take it
    Global,   // with the options of every command; only its commands take it
    Anywhere, // with the options of every command, and every command takes it
};

struct OptionRow
{
    std::string_view name;  // without "--"
    char shortName = 0;     // 0: none
    std::string_view value; // its value's name in help texts; empty: a flag
    CommandSet commands;    // the commands that take it
    // Checks the value and stores it; throws UsageError.
    void (*apply)(Options &, std::string_view value) = nullptr;
    // The lines of its --help entry; lines after the first start at the help column.
    std::string_view help;
    Reach reach = Reach::Own;
    std::string_view needs = {};    // another option it goes with
    std::string_view excludes = {}; // another option it cannot be given with
    Completion completion = Completion::Nothing;
    std::string_view words = {};
};

struct CommandRow
{
    Command command;
    std::string_view words;    // "keypad set"
    std::string_view operands; // after the words in the synopsis: "FILE", "14a|14b|..."
    // Reads the words after the command's own; throws UsageError.
    void (*read)(Options &, std::span<const std::string_view> operands) = nullptr;
    std::string_view help;       // its --help entry; empty: not listed (help, version)
    std::string_view notes = {}; // lines after its options in its --help entry
    bool needsAnOption = false;  // one of its own options at least must be given
    Completion completion = Completion::Nothing;
    std::string_view completionWords = {};
};

std::span<const OptionRow> optionRows();
std::span<const CommandRow> commandRows();
const CommandRow &commandRow(Command command);

// The option's entry as --help shows it: "-n, --count N", "--probe".
std::string optionLabel(const OptionRow &option);

} // namespace qn480::cli
