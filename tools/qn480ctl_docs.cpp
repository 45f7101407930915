// SPDX-License-Identifier: GPL-3.0-or-later
// Run at build time: qn480ctl's manual page (its SYNOPSIS and OPTIONS filled in from the command
// model, the rest from the page's template) and its bash completion, so that neither can fall
// out of step with the parser.
//
//   qn480ctl-docs TEMPLATE MAN_OUT COMPLETION_OUT

#include "command_model.h"

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

using namespace qn480::cli;

namespace {

// Text as roff prints it: backslashes and hyphens escaped, no line read as a request.
std::string roff(std::string_view text)
{
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        out += c == '\\' ? std::string("\\e") : c == '-' ? std::string("\\-") : std::string(1, c);
        lineStart = c == '\n';
    }
    return out;
}

// "[--count N]" as a synopsis shows it, in bold and italic.
std::string manBracket(const OptionRow &option, bool brief)
{
    const std::string name = brief && option.shortName != 0 ? std::string("-") + option.shortName
                                                            : "--" + std::string(option.name);
    return roff(name) + (option.value.empty() ? "" : "\\ \\fI" + roff(option.value) + "\\fP");
}

std::string manSynopsis()
{
    std::string text = ".B qn480ctl\n";
    for (const OptionRow &option : optionRows()) {
        if (option.reach == Reach::Own)
            continue;
        if (!option.excludes.empty())
            text += ".RB [ " + manBracket(option, true) + " \" | \" ";
        else if (text.ends_with("\" | \" "))
            text += manBracket(option, true) + " ]\n";
        else
            text += ".RB [ " + manBracket(option, true) + " ]\n";
    }
    text += ".I command\n.RI [ arguments ]\n.PP\n";
    for (const CommandRow &command : commandRows()) {
        if (command.help.empty())
            continue;
        text += ".B qn480ctl " + roff(command.words) + "\n";
        if (!command.operands.empty())
            text += ".I \"" + roff(command.operands) + "\"\n";
        for (const OptionRow &option : optionRows()) {
            if (option.reach == Reach::Own && (option.commands & commandBit(command.command)) != 0)
                text += ".RB [ " + manBracket(option, false) + " ]\n";
        }
        text += ".br\n";
    }
    return text + ".B qn480ctl\n.I command\n.B \\-\\-help\n";
}

std::string manOptions()
{
    std::string text;
    for (const OptionRow &option : optionRows()) {
        text += ".TP\n.B " + roff(optionLabel(option)) + "\n";
        if (option.reach == Reach::Own) {
            std::string of;
            for (const CommandRow &command : commandRows()) {
                if ((option.commands & commandBit(command.command)) != 0)
                    of += (of.empty() ? "" : ", ") + std::string(command.words);
            }
            text += "(" + roff(of) + ") ";
        }
        text += roff(option.help) + "\n";
    }
    return text + ".TP\n.B \\-h, \\-\\-help\nPrint the usage and exit; after a command "
                  "(\\fBqn480ctl poll \\-\\-help\\fP, or \\fBqn480ctl help poll\\fP), that "
                  "command's usage alone.\n.TP\n.B \\-V, \\-\\-version\nPrint the version "
                  "and exit.\n";
}

// The words of an option's value or a command's operands, as the shell offers them.
std::string completionAction(Completion completion, std::string_view words)
{
    const std::string list(words);
    switch (completion) {
    case Completion::Nothing:
        return "return";
    case Completion::Words:
        return "COMPREPLY=($(compgen -W \"" + list + "\" -- \"$cur\")); return";
    case Completion::WordList: {
        std::string lines = list;
        for (char &c : lines)
            c = c == ' ' ? '\n' : c;
        std::string quoted;
        for (const char c : lines)
            quoted += c == '\n' ? std::string("\\n") : std::string(1, c);
        return "_qn480ctl_list $'" + quoted + "'; return";
    }
    case Completion::File:
        return "_filedir" + (list.empty() ? "" : " " + list) + "; return";
    case Completion::Folder:
        return "_filedir -d; return";
    case Completion::Program:
        return "COMPREPLY=($(compgen -c -- \"$cur\")); return";
    case Completion::Port:
        return "COMPREPLY=($(compgen -W \"$(\"${words[0]}\" ports 2>/dev/null | cut -f1)\" "
               "-- \"$cur\")); return";
    case Completion::Device:
        return "_filedir; [[ -z $cur ]] && COMPREPLY+=($(compgen -G \"/dev/tty[A-Z]*\")); "
               "return";
    }
    return "return";
}

std::string optionForms(const OptionRow &option, std::string_view separator)
{
    return (option.shortName != 0 ? std::string("-") + option.shortName + std::string(separator)
                                  : std::string()) +
           "--" + std::string(option.name);
}

// Every option form `commands` take (before a command: the global ones), and -h, --help.
std::string optionsOf(CommandSet commands, bool globalOnly = false)
{
    std::string text;
    for (const OptionRow &option : optionRows()) {
        if ((option.commands & commands) != 0 && (option.reach != Reach::Own || !globalOnly))
            text += optionForms(option, " ") + " ";
    }
    return text + "-h --help";
}

std::string firstWord(std::string_view words)
{
    return std::string(words.substr(0, words.find(' ')));
}

// The case of a command of `words` words, named by its last `word`: its operands once every
// word is there, else its options.
std::string commandCase(const CommandRow &command, std::string_view word, std::size_t words)
{
    const std::string in(8 * words, ' ');
    std::string text = in + std::string(word) + ")\n";
    if (command.completion != Completion::Nothing)
        text += in + "    [[ ${#command[@]} -eq " + std::to_string(words) +
                " && $cur != -* ]] && { " +
                completionAction(command.completion, command.completionWords) + "; }\n";
    return text + in + "    options=\"" + optionsOf(commandBit(command.command)) + "\"\n" + in +
           "    ;;\n";
}

// The options and operands offered once the command words are known.
std::string commandCases()
{
    std::string text = "    case \"${command[0]}\" in\n";
    std::string firstWords;
    std::string listed;
    for (const CommandRow &command : commandRows()) {
        const std::string first = firstWord(command.words);
        if (firstWords.find(" " + first + " ") != std::string::npos)
            continue;
        firstWords += " " + first + " ";
        if (!command.help.empty())
            listed += (listed.empty() ? "" : " ") + first;
    }
    text += "        \"\")\n            if [[ $cur == -* ]]; then\n                options=\"" +
            optionsOf(~CommandSet{0}, true) +
            " -V --version\"\n            else\n                options=\"" +
            firstWords.substr(1, firstWords.size() - 2) + "\"\n            fi\n            ;;\n";
    text += "        help)\n            [[ ${#command[@]} -eq 1 ]] && options=\"" + listed +
            "\"\n            ;;\n        version) ;;\n";
    for (const CommandRow &command : commandRows()) {
        const std::string first = firstWord(command.words);
        if (command.help.empty() || first != command.words)
            continue;
        text += commandCase(command, first, 1);
    }
    // Commands of two words: keypad get, log export.
    std::string groups;
    for (const CommandRow &command : commandRows()) {
        const std::string first = firstWord(command.words);
        if (first == command.words || groups.find(" " + first + " ") != std::string::npos)
            continue;
        groups += " " + first + " ";
        std::string subs;
        std::string cases;
        for (const CommandRow &sub : commandRows()) {
            if (firstWord(sub.words) != first || sub.words == first)
                continue;
            const std::string second(sub.words.substr(first.size() + 1));
            subs += (subs.empty() ? "" : " ") + second;
            cases += commandCase(sub, second, 2);
        }
        text += "        " + first + ")\n            case \"${command[1]}\" in\n" +
                "                \"\") [[ $cur == -* ]] || options=\"" + subs + "\" ;;\n" + cases +
                "            esac\n            ;;\n";
    }
    return text + "    esac\n";
}

std::string bashCompletion()
{
    std::string values;
    std::string takesValue;
    for (const OptionRow &option : optionRows()) {
        if (option.value.empty())
            continue;
        values += "        " + optionForms(option, " | ") + ")\n            " +
                  completionAction(option.completion, option.words) + "\n            ;;\n";
        takesValue += (takesValue.empty() ? "" : "|") + optionForms(option, "|");
    }
    return R"(# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for qn480ctl, made from its command model        -*- shell-script -*-

# Completes the last item of a comma-separated list from the words given.
_qn480ctl_list()
{
    local prefix="" item="$cur"
    if [[ $cur == *,* ]]; then
        prefix="${cur%,*},"
        item="${cur##*,}"
    fi
    local IFS=$'\n'
    COMPREPLY=($(compgen -P "$prefix" -W "$1" -- "$item"))
    [[ ${#COMPREPLY[@]} -eq 1 ]] && compopt -o nospace 2>/dev/null
}

_qn480ctl()
{
    local cur prev words cword
    _init_completion -n = || return

    # A value after an equals sign: --format=8H.
    if [[ $cur == --*=* ]]; then
        prev="${cur%%=*}"
        cur="${cur#*=}"
    fi

    case $prev in
)" + values +
           R"(    esac

    # The command words so far, options and their values left out.
    local i command=() takesValue=")" +
           takesValue + R"("
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -* ]]; then
            [[ ${words[i]} != *=* && ${words[i]} =~ ^($takesValue)$ ]] && ((i++))
            continue
        fi
        command+=("${words[i]}")
    done

    local options=""
)" + commandCases() +
           R"(    COMPREPLY=($(compgen -W "$options" -- "$cur"))
} &&
    complete -F _qn480ctl qn480ctl

# ex: filetype=sh
)";
}

// The template with its @SYNOPSIS@ and @OPTIONS@ lines filled in.
std::string manPage(const std::string &page)
{
    std::string out;
    std::istringstream lines(page);
    for (std::string line; std::getline(lines, line);)
        out += line == "@SYNOPSIS@"  ? manSynopsis()
               : line == "@OPTIONS@" ? manOptions()
                                     : line + "\n";
    return out;
}

bool writeFile(const char *path, const std::string &text)
{
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file)
        std::cerr << "qn480ctl-docs: cannot write " << path << "\n";
    return static_cast<bool>(file);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::cerr << "usage: qn480ctl-docs TEMPLATE MAN_OUT COMPLETION_OUT\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream page;
    page << in.rdbuf();
    if (!in) {
        std::cerr << "qn480ctl-docs: cannot read " << argv[1] << "\n";
        return 1;
    }
    return writeFile(argv[2], manPage(page.str())) && writeFile(argv[3], bashCompletion()) ? 0 : 1;
}
