// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <filesystem>
#include <span>
#include <string>

namespace qn480 {

// Writes `events` as a spreadsheet workbook (.xlsx) of one sheet, in the columns their
// interfaces need: a header row that stays in view, the time as a date-time cell (local
// time, to the millisecond), every other field as a text cell, so that a spreadsheet keeps
// "0400" and "1122334455667788" as they are, and columns wide enough for their cells.
// The file at `path` is replaced whole or left as it was. Returns the reason of a failure
// ("No space left on device"), empty on success.
std::string writeEventsXlsx(const std::filesystem::path &path, std::span<const EventRecord> events);

} // namespace qn480
