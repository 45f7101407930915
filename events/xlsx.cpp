// SPDX-License-Identifier: GPL-3.0-or-later
#include "xlsx.h"

#include "event_columns.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <system_error>

namespace qn480 {

namespace {

constexpr const char *kSheetName = "Card log";
constexpr const char *kTimeFormat = "yyyy-mm-dd hh:mm:ss.000";
constexpr double kMaxWidth = 60;

lxw_datetime localDateTime(EventTime time)
{
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    const std::time_t whole = std::chrono::system_clock::to_time_t(seconds);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &whole);
#else
    localtime_r(&whole, &local);
#endif
    const auto millis = (time - seconds).count();
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec + double(millis) / 1000.0};
}

// Characters, not bytes: the width a column needs for `text`.
double textWidth(const std::string &text)
{
    return double(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// A name beside `path`, so that the finished file replaces it in one rename.
std::filesystem::path scratchBeside(const std::filesystem::path &path)
{
    std::random_device random;
    const auto tag = std::to_string(random()) + std::to_string(random());
    return path.parent_path() / ("." + path.filename().string() + "." + tag + ".part");
}

} // namespace

std::string writeEventsXlsx(const std::filesystem::path &path, std::span<const EventRecord> events)
{
    const std::filesystem::path scratch = scratchBeside(path);
    lxw_workbook_options options{};
    options.constant_memory = LXW_FALSE;
    lxw_workbook *book = workbook_new_opt(scratch.string().c_str(), &options);
    if (!book)
        return "could not start the workbook";
    lxw_worksheet *sheet = workbook_add_worksheet(book, kSheetName);
    lxw_format *header = workbook_add_format(book);
    format_set_bold(header);
    lxw_format *text = workbook_add_format(book);
    format_set_num_format(text, "@");
    lxw_format *date = workbook_add_format(book);
    format_set_num_format(date, kTimeFormat);

    const std::vector<EventColumn> columns = heldColumns(events);
    std::vector<double> widths(columns.size());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const std::string title(columnTitle(columns[c]));
        worksheet_write_string(sheet, 0, lxw_col_t(c), title.c_str(), header);
        widths[c] = textWidth(title);
    }
    lxw_row_t row = 1;
    for (const EventRecord &event : events) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (columns[c] == EventColumn::Time) {
                lxw_datetime when = localDateTime(event.time);
                worksheet_write_datetime(sheet, row, lxw_col_t(c), &when, date);
                widths[c] = std::max(widths[c], double(std::strlen(kTimeFormat)));
                continue;
            }
            const std::string cell = cellText(event, columns[c]);
            if (!cell.empty())
                worksheet_write_string(sheet, row, lxw_col_t(c), cell.c_str(), text);
            widths[c] = std::max(widths[c], textWidth(cell));
        }
        ++row;
    }
    for (std::size_t c = 0; c < columns.size(); ++c) {
        worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), std::min(widths[c] + 2, kMaxWidth),
                             columns[c] == EventColumn::Time ? nullptr : text);
    }
    worksheet_freeze_panes(sheet, 1, 0);

    errno = 0;
    const lxw_error error = workbook_close(book);
    const int cause = errno;
    std::error_code ignored;
    if (error != LXW_NO_ERROR) {
        std::filesystem::remove(scratch, ignored);
        return cause != 0 ? std::strerror(cause) : lxw_strerror(error);
    }
    std::error_code renamed;
    std::filesystem::rename(scratch, path, renamed);
    if (renamed) {
        std::filesystem::remove(scratch, ignored);
        return renamed.message();
    }
    return {};
}

} // namespace qn480
