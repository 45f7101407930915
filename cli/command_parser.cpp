// SPDX-License-Identifier: GPL-3.0-or-later
// The command line read against the command model: options in any place, getopt's short
// forms, then the command's words and the rules between options; the station's refusals worded
// as the options that give them.
#include "command_model.h"

#include "text_util.h"

#include <algorithm>
#include <set>

namespace qn480::cli {

namespace {

// The command the words start with, and how many words name it (one, or two as in
// "keypad set"); nullptr when none does.
std::pair<const CommandRow *, std::size_t> commandOf(std::span<const std::string_view> words)
{
    for (const CommandRow &row : commandRows()) {
        const std::size_t taken = row.words.find(' ') == std::string_view::npos ? 1 : 2;
        if (taken <= words.size() &&
            lowerCase(words[0]) + (taken == 2 ? " " + lowerCase(words[1]) : "") == row.words)
            return {&row, taken};
    }
    return {nullptr, 0};
}

// The commands whose first word is `group` ("keypad"): their second words.
std::vector<std::string_view> subcommandsOf(const std::string &group)
{
    std::vector<std::string_view> subs;
    for (const CommandRow &row : commandRows()) {
        if (row.words.starts_with(group + " "))
            subs.push_back(row.words.substr(group.size() + 1));
    }
    return subs;
}

// "a, b or c"
std::string listed(std::span<const std::string_view> items, std::string_view last = " or ")
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += std::string(i == 0                  ? ""
                            : i + 1 == items.size() ? last
                                                    : ", ") +
                std::string(items[i]);
    return text;
}

// The command that command words name, as usageText() takes it: "poll", "keypad set",
// "keypad"; empty when they name none.
std::string helpTopicOf(std::span<const std::string_view> words)
{
    if (!words.empty() && lowerCase(words[0]) == "help")
        words = words.subspan(1);
    if (words.empty())
        return {};
    if (const auto [row, taken] = commandOf(words); row != nullptr && !row->help.empty())
        return std::string(row->words);
    const std::string group = lowerCase(words[0]);
    return subcommandsOf(group).empty() ? std::string() : group;
}

// The option of that name, or with a letter of that letter; nullptr when none.
const OptionRow *optionOf(std::string_view name, char letter = 0)
{
    const auto rows = optionRows();
    const auto found = std::find_if(rows.begin(), rows.end(), [&](const OptionRow &option) {
        return letter != 0 ? option.shortName == letter : option.name == name;
    });
    return found == rows.end() ? nullptr : &*found;
}

void readCommand(Options &o, std::span<const std::string_view> words)
{
    if (words.empty())
        throw UsageError("no command given; try qn480ctl --help");
    const auto [row, taken] = commandOf(words);
    if (row == nullptr) {
        const std::string group = lowerCase(words[0]);
        const std::vector<std::string_view> subs = subcommandsOf(group);
        if (!subs.empty())
            throw UsageError(group + " needs " + listed(subs));
        std::vector<std::string_view> names;
        for (const CommandRow &c : commandRows()) {
            const std::string_view first = c.words.substr(0, c.words.find(' '));
            if (!c.help.empty() && std::find(names.begin(), names.end(), first) == names.end())
                names.push_back(first);
        }
        throw UsageError("unknown command " + quoted(words[0]) + "; the commands are " +
                         listed(names, " and "));
    }
    o.command = row->command;
    if (row->command == Command::Help)
        o.helpTopic = helpTopicOf(words);
    else if (row->read)
        row->read(o, words.subspan(taken));
}

// The rules between the options given, once the command is known.
void checkRules(const Options &o, const std::set<std::string_view> &given)
{
    const CommandRow &command = commandRow(o.command);
    if (o.command == Command::Help || o.command == Command::Version)
        return;
    for (const OptionRow &option : optionRows()) {
        if (given.count(option.name) == 0 || option.reach == Reach::Anywhere ||
            (option.commands & commandBit(o.command)) != 0)
            continue;
        const auto first =
            std::find_if(commandRows().begin(), commandRows().end(), [&](const CommandRow &c) {
                return !c.help.empty() && (option.commands & commandBit(c.command)) != 0;
            });
        throw UsageError("--" + std::string(option.name) + " is an option of " +
                         std::string(first->words) + ", not of " + std::string(command.words));
    }
    for (const OptionRow &option : optionRows()) {
        if (given.count(option.name) == 0)
            continue;
        if (!option.excludes.empty() && given.count(option.excludes) != 0)
            throw UsageError("give either --" + std::string(option.name) + " or --" +
                             std::string(option.excludes) + ", not both");
        if (!option.needs.empty() && given.count(option.needs) == 0) {
            const std::string_view value = optionOf(option.needs)->value;
            throw UsageError("--" + std::string(option.name) + " goes with --" +
                             std::string(option.needs) +
                             (value.empty() ? "" : " " + std::string(value)));
        }
    }
    // A keypad command waits for a station's answer, and asks for one reader or the fleet.
    if (o.command != Command::Poll && given.count("timeout") != 0 && o.mqtt.url.empty())
        throw UsageError("keypad --timeout goes with --mqtt URL");
    if (o.command != Command::Poll && !o.mqtt.url.empty() && o.mqtt.reader.empty() && !o.fleet)
        throw UsageError("keypad --mqtt needs --reader NAME, or keypad load --fleet");
    if (!o.mqtt.url.empty()) {
        try {
            station::checkTlsSettings(station::parseBrokerUrl(o.mqtt.url).tls, o.mqtt.ca,
                                      o.mqtt.cert, o.mqtt.key);
        } catch (const station::ConnectionError &e) {
            throw UsageError(stationErrorText(e));
        }
    }
    if (command.needsAnOption) {
        std::string list;
        bool any = false;
        for (const OptionRow &option : optionRows()) {
            // Options shared with other commands (--mqtt ...) change nothing by themselves.
            if (option.reach != Reach::Own || option.commands != commandBit(o.command))
                continue;
            list += (list.empty() ? "--" : ", --") + std::string(option.name);
            any = any || given.count(option.name) != 0;
        }
        if (!any)
            throw UsageError(std::string(command.words) + " needs at least one of " + list);
    }
}

// Reads the options of `args` into `o` and returns the other words. Without `o` it only steps
// over the options: a line that asks for --help is read whatever else is wrong with it.
std::vector<std::string_view> readOptions(std::span<const std::string_view> args, Options *o,
                                          std::set<std::string_view> &given)
{
    std::vector<std::string_view> words;
    // One option, `typed` as given; `value` is what was attached to it, if anything.
    const auto take = [&](const OptionRow *option, std::string_view typed,
                          std::optional<std::string_view> value, std::size_t &i) {
        if (option == nullptr) {
            if (o != nullptr)
                throw UsageError("unknown option " + quoted(typed) + "; try qn480ctl --help");
            return;
        }
        const std::string shown = "--" + std::string(option->name);
        if (!option->value.empty() && !value && i + 1 < args.size())
            value = args[++i];
        if (o == nullptr)
            return;
        if (!given.insert(option->name).second)
            throw UsageError(shown + " is given twice");
        if (!option->value.empty() && !value)
            throw UsageError(shown + " needs a value");
        if (option->value.empty() && value)
            throw UsageError(shown + " takes no value");
        option->apply(*o, value.value_or(std::string_view{}));
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg[1] != '-') {
            // Short options as getopt reads them: -jq, -n3, -n 3, -p COM07.
            for (std::size_t k = 1; k < arg.size(); ++k) {
                const OptionRow *option = optionOf({}, arg[k]);
                const bool valued = option != nullptr && !option->value.empty();
                take(option, std::string("-") + arg[k],
                     valued && k + 1 < arg.size() ? std::optional(arg.substr(k + 1)) : std::nullopt,
                     i);
                if (valued)
                    break;
            }
        } else {
            const std::size_t eq = arg.find('=');
            const std::string_view name = arg.substr(2, eq == std::string_view::npos ? eq : eq - 2);
            take(optionOf(name), arg,
                 eq == std::string_view::npos ? std::nullopt : std::optional(arg.substr(eq + 1)),
                 i);
        }
    }
    return words;
}

} // namespace

Options parseArguments(std::span<const std::string_view> args)
{
    Options o;
    std::set<std::string_view> given;
    for (std::string_view arg : args) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h") {
            // Command::Help, whatever else is there; after a command, its usage alone.
            o.helpTopic = helpTopicOf(readOptions(args, nullptr, given));
            return o;
        }
        if (arg == "--version" || arg == "-V") {
            o.command = Command::Version;
            return o;
        }
    }
    readCommand(o, readOptions(args, &o, given));
    checkRules(o, given);
    return o;
}

std::string stationErrorText(const station::ConnectionError &error)
{
    using Fault = station::ConnectionError::Fault;
    switch (error.fault()) {
    case Fault::PasswordInUrl:
        return error.what() + std::string("; give it in ") + station::kPasswordVariable +
               " or --mqtt-password-file instead";
    case Fault::TlsNeedsMqtts:
        return "--mqtt-ca, --mqtt-cert and --mqtt-key need an mqtts:// URL";
    case Fault::CertWithoutKey:
        return "--mqtt-cert and --mqtt-key go together";
    case Fault::NoSpoolFolder:
        return error.what() + std::string(", or give --spool DIR");
    case Fault::Other:
        break;
    }
    return error.what();
}

} // namespace qn480::cli
