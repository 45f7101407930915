// SPDX-License-Identifier: GPL-3.0-or-later
#include "csv.h"

#include <QSaveFile>
#include <QString>

#include <cerrno>
#include <cstring>

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
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return file.errorString().toStdString();
    qint64 written = 0;
    while (written < qint64(text.size())) {
        errno = 0;
        const qint64 step = file.write(text.data() + written, qint64(text.size()) - written);
        if (step <= 0) {
            const int cause = errno;
            const std::string reason = file.errorString().toStdString();
            file.cancelWriting();
            return cause != 0 ? std::strerror(cause) : reason;
        }
        written += step;
    }
    return file.commit() ? std::string() : file.errorString().toStdString();
}

} // namespace qn480
