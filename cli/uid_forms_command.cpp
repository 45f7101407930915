// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"
#include "event_record.h"
#include "options.h"
#include "text_util.h"

#include <iomanip>

namespace qn480::cli {

namespace {

// Longer than any UID; the decimal forms grow with the square of the length.
constexpr std::size_t kMaxUidBytes = 32;

} // namespace

int uidFormsCommand(std::span<const std::string_view> words, bool json, Io io)
{
    std::string hex;
    for (const std::string_view word : words)
        hex += std::string(word) + " ";
    if (hex.empty())
        return tell(io.err, kExitUsage,
                    "uid-forms needs a UID in hexadecimal, as uid-forms 04A1B2C3D4E5F6");
    std::vector<std::uint8_t> uid;
    try {
        uid = parseHexBytes(hex);
    } catch (const UsageError &error) {
        std::string_view why = error.what();
        if (why.starts_with("data: "))
            why.remove_prefix(6);
        return tell(io.err, kExitUsage, "uid-forms: " + std::string(why));
    }
    if (uid.empty() || uid.size() > kMaxUidBytes) {
        return tell(io.err, kExitUsage,
                    "uid-forms takes a UID of 1 to " + std::to_string(kMaxUidBytes) +
                        " bytes, not " + std::to_string(uid.size()));
    }

    if (json) {
        io.out << uidFormsJson(uid).dump() << std::endl;
    } else {
        for (const UidFormValue &form : uidInEveryForm(uid)) {
            io.out << std::left << std::setw(11) << uidFormName(form.form)
                   << (form.value ? *form.value : "-  (" + form.reason + ")") << '\n';
        }
        io.out.flush();
    }
    return io.out ? kExitSuccess : kExitReaderError;
}

} // namespace qn480::cli
