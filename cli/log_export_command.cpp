// SPDX-License-Identifier: GPL-3.0-or-later
#include "log_export_command.h"

#include "card_log.h"
#include "commands.h"
#include "csv.h"
#include "event_json_read.h"
#include "options.h"
#include "text_util.h"
#include "xlsx.h"

#include <optional>
#include <string>
#include <vector>

namespace qn480::cli {

const std::string_view kLogExportUsage =
    "  log export FILE [--xlsx OUT] [--csv OUT]\n"
    "                              a card log file (poll --log, the window's log file) as\n"
    "                              a spreadsheet (.xlsx: UIDs and other hexadecimal fields\n"
    "                              as text, times as date-time cells) and/or as CSV (the\n"
    "                              window's Save as CSV; - for stdout). A line that is no\n"
    "                              card event is skipped with a warning. No reader needed.\n";

namespace {

constexpr std::string_view kProgram = "qn480ctl: ";

int usage(Io &io, const std::string &message)
{
    io.err << kProgram << message << " (see qn480ctl log --help)" << std::endl;
    return kExitUsage;
}

int failed(Io &io, const std::string &message)
{
    io.err << kProgram << message << std::endl;
    return kExitReaderError;
}

} // namespace

int logCommand(std::span<const std::string_view> args, Io io)
{
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        io.out << usageText("log");
        return kExitSuccess;
    }
    if (args.empty() || args[0] != "export")
        return usage(io, "log needs a subcommand: log export FILE --xlsx OUT");
    std::optional<std::string> input;
    std::optional<std::string> xlsx;
    std::optional<std::string> csv;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            io.out << usageText("log");
            return kExitSuccess;
        }
        if (arg == "--xlsx" || arg == "--csv") {
            if (i + 1 >= args.size())
                return usage(io, std::string(arg) + " needs a file to write");
            (arg == "--xlsx" ? xlsx : csv) = std::string(args[++i]);
        } else if (arg.starts_with("-") && arg != "-") {
            return usage(io, "log export does not take " + quoted(arg));
        } else if (input) {
            return usage(io, "log export reads one file, not " + quoted(arg) + " as well");
        } else {
            input = std::string(arg);
        }
    }
    if (!input)
        return usage(io, "log export needs the log file to read");
    if (!xlsx && !csv)
        return usage(io, "log export needs --xlsx OUT or --csv OUT");
    if (xlsx && *xlsx == "-")
        return usage(io, "--xlsx writes a file, not stdout");

    const CardLogContents log = readCardLog(*input);
    if (!log.error.empty())
        return failed(io, "cannot read " + *input + ": " + log.error);
    for (const std::string &warning : log.warnings)
        io.err << kProgram << warning << '\n';
    std::vector<EventRecord> events;
    events.reserve(log.events.size());
    for (std::size_t i = 0; i < log.events.size(); ++i) {
        std::string why;
        if (auto record = eventFromJson(log.events[i], &why))
            events.push_back(std::move(*record));
        else
            io.err << kProgram << *input << ": event " << i + 1 << " skipped: " << why << '\n';
    }

    int code = kExitSuccess;
    if (xlsx) {
        if (const std::string error = writeEventsXlsx(*xlsx, events); !error.empty())
            code = failed(io, "cannot write " + *xlsx + ": " + error);
    }
    if (csv) {
        const std::string text = eventsCsv(events);
        if (*csv == "-") {
            io.out << text << std::flush;
            if (!io.out)
                code = failed(io, "cannot write the CSV to stdout");
        } else if (const std::string error = saveWhole(*csv, text); !error.empty()) {
            code = failed(io, "cannot write " + *csv + ": " + error);
        }
    }
    return code;
}

} // namespace qn480::cli
