// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "event_record.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qn480 {

// CSV as RFC 4180 writes it: fields separated by commas, records ending in CRLF, a field
// holding a comma, a quote or a line break quoted with its quotes doubled. Text is UTF-8;
// bytes that are not become U+FFFD.
//
// A field that a spreadsheet would take for a formula (beginning with =, +, -, @, a tab or
// a carriage return) is prefixed with a single quote, so that opening the file runs nothing.
std::string csvField(std::string_view text);
std::string csvRecord(std::span<const std::string> fields);

// The header record and one record per event, in the columns of the card log.
std::string eventsCsv(std::span<const EventRecord> events);

// Writes `text` to `path` whole or not at all (a temporary file renamed over it); empty on
// success, else the reason. Unbuffered and written until done: a full disk first takes part
// of a write without a word, and only the next write says why ("No space left on device").
std::string saveWhole(const std::string &path, std::string_view text);

} // namespace qn480
