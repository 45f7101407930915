// SPDX-License-Identifier: GPL-3.0-or-later
#include "xlsx.h"

namespace qn480 {

std::string writeEventsXlsx(const std::filesystem::path &, std::span<const EventRecord>)
{
    return "this build has no spreadsheet export; export CSV instead";
}

} // namespace qn480
