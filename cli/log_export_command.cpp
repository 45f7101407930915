// SPDX-License-Identifier: GPL-3.0-or-later

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

int logExportCommand(const Options &options, Io io)
{
    const std::string &input = options.logInput;
    const std::optional<std::string> &xlsx = options.xlsx;
    const std::optional<std::string> &csv = options.csv;
    const CardLogContents log = readCardLog(input);
    if (!log.error.empty())
        return tell(io.err, kExitReaderError, "cannot read " + input + ": " + log.error);
    for (const std::string &warning : log.warnings)
        io.err << kProgram << warning << '\n';
    std::vector<EventRecord> events;
    events.reserve(log.events.size());
    for (std::size_t i = 0; i < log.events.size(); ++i) {
        std::string why;
        if (auto record = eventFromJson(log.events[i], &why))
            events.push_back(std::move(*record));
        else
            io.err << kProgram << input << ": event " << i + 1 << " skipped: " << why << '\n';
    }

    int code = kExitSuccess;
    if (xlsx) {
        if (const std::string error = writeEventsXlsx(*xlsx, events); !error.empty())
            code = tell(io.err, kExitReaderError, "cannot write " + *xlsx + ": " + error);
    }
    if (csv) {
        const std::string text = eventsCsv(events);
        if (*csv == "-") {
            io.out << text << std::flush;
            if (!io.out)
                code = tell(io.err, kExitReaderError, "cannot write the CSV to stdout");
        } else if (const std::string error = saveWhole(*csv, text); !error.empty()) {
            code = tell(io.err, kExitReaderError, "cannot write " + *csv + ": " + error);
        }
    }
    return code;
}

} // namespace qn480::cli
