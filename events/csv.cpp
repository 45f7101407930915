// SPDX-License-Identifier: GPL-3.0-or-later
#include "csv.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace qn480 {

namespace {

// The length of the UTF-8 sequence at `text[i]`, 0 when it is not a valid one.
std::size_t sequenceAt(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) {
        return static_cast<unsigned char>(text[k]);
    };
    const unsigned char lead = byte(i);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned min = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    unsigned code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and code points past Unicode are not text.
    if (code < min || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

std::string validUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceAt(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

} // namespace

std::string csvField(std::string_view text)
{
    std::string field = validUtf8(text);
    if (!field.empty() &&
        std::string_view("=+-@\t\r").find(field.front()) != std::string_view::npos)
        field.insert(0, "'");
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string csvRecord(std::span<const std::string> fields)
{
    std::string record;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            record += ',';
        record += csvField(fields[i]);
    }
    return record + "\r\n";
}

std::string eventsCsv(std::span<const EventRecord> events)
{
    std::vector<std::string> fields(kEventColumnCount);
    for (int c = 0; c < kEventColumnCount; ++c)
        fields[std::size_t(c)] = columnTitle(EventColumn(c));
    std::string text = csvRecord(fields);
    for (const EventRecord &event : events) {
        for (int c = 0; c < kEventColumnCount; ++c)
            fields[std::size_t(c)] = cellText(event, EventColumn(c));
        text += csvRecord(fields);
    }
    return text;
}

std::string saveWhole(const std::string &path, std::string_view text)
{
    namespace fs = std::filesystem;
    const fs::path target(path);
    fs::path temporary = target;
    temporary += ".saving";
    errno = 0;
    std::FILE *file = std::fopen(temporary.string().c_str(), "wb");
    if (file == nullptr)
        return std::strerror(errno != 0 ? errno : EIO);
    std::setvbuf(file, nullptr, _IONBF, 0);
    const auto fail = [&](int cause) {
        std::fclose(file);
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return std::string(std::strerror(cause != 0 ? cause : EIO));
    };
    std::size_t written = 0;
    while (written < text.size()) {
        errno = 0;
        const std::size_t step = std::fwrite(text.data() + written, 1, text.size() - written, file);
        if (step == 0)
            return fail(errno);
        written += step;
    }
    errno = 0;
    if (std::fflush(file) != 0)
        return fail(errno);
    if (std::fclose(file) != 0) {
        const int cause = errno;
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return std::strerror(cause != 0 ? cause : EIO);
    }
    // A file that was there keeps its permissions, as an editor's save would.
    std::error_code error;
    if (const auto kept = fs::status(target, error); !error && fs::exists(kept))
        fs::permissions(temporary, kept.permissions(), error);
    fs::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return error.message();
    }
    return {};
}

} // namespace qn480
