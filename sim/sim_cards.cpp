// SPDX-License-Identifier: GPL-3.0-or-later
// The cards a simulated field holds: their kinds, presets and options, read from and told
// as the --card text.
#include "reader_model.h"

#include "text_util.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qn480::sim {

namespace {

std::string hex(std::span<const std::uint8_t> bytes)
{
    return hexText(bytes, "");
}

struct Preset
{
    std::string_view name;
    CardKind kind;
    std::string_view options;
    std::string_view about;
};

// The ATS of MIFARE Plus cards carry seven historical bytes starting with C1; the fifth
// names the variant (00 S, 01 X).
const std::vector<Preset> &presets()
{
    static const std::vector<Preset> list{
        {"14a", CardKind::Iso14443A, "uid=12345678,atqa=0400,sak=08", "Mifare Classic 1K"},
        {"14b", CardKind::Iso14443B, "pupi=1A2B3C4D,app=00000000,info=008171", "ISO14443B"},
        {"felica", CardKind::Felica, "idm=0102030405060708,slot=00,sub=01", "FeliCa, no PMm"},
        {"15693", CardKind::Iso15693, "uid=1122334455667788,dsfid=00", "ISO15693"},
        {"classic1k", CardKind::Iso14443A, "uid=12345678,atqa=0400,sak=08", "Mifare Classic 1K"},
        {"classic4k", CardKind::Iso14443A, "uid=5A6B7C8D,atqa=0200,sak=18", "Mifare Classic 4K"},
        {"classic-aa", CardKind::Iso14443A, "uid=AA12AA34,atqa=0400,sak=08",
         "Mifare Classic 1K whose UID holds the start mark 0xAA"},
        {"mini", CardKind::Iso14443A, "uid=0A0B0C0D,atqa=0400,sak=09", "Mifare Mini"},
        {"ultralight", CardKind::Iso14443A, "uid=04A1B2C3D4E5F6,atqa=4400,sak=00",
         "Mifare Ultralight, 7-byte UID"},
        {"desfire", CardKind::Iso14443A, "uid=04505D1AB76880,atqa=4403,sak=20,ats=067577810280",
         "Mifare DESFire"},
        {"plus-s-sl0", CardKind::Iso14443A,
         "uid=04112233445566,atqa=4400,sak=20,ats=0C75778002C1052F2F0035C7,sl=0",
         "Mifare Plus S SL0 2K"},
        {"plus-x-sl1", CardKind::Iso14443A,
         "uid=04223344556677,atqa=4400,sak=08,ats=0C75778002C1052F2F01BCD6",
         "Mifare Plus X SL1 2K"},
        {"plus-x-sl2", CardKind::Iso14443A,
         "uid=04334455667788,atqa=4200,sak=11,ats=0C75778002C1052F2F01BCD6",
         "Mifare Plus X SL2 4K"},
        {"plus-x-sl3", CardKind::Iso14443A,
         "uid=04445566778899,atqa=4200,sak=20,ats=0C75778002C1052F2F01BCD6,sl=3",
         "Mifare Plus X SL3 4K"},
    };
    return list;
}

bool setOption(Card &card, const std::string &key, std::string_view value, std::string &error)
{
    const auto bytes = hexBytes(value);
    const auto exactly = [&](std::size_t count) {
        if (!bytes || bytes->size() != count) {
            error = key + " takes " + std::to_string(count) + " bytes in hexadecimal";
            return false;
        }
        return true;
    };
    const auto one = [&](std::uint8_t &field) {
        if (!exactly(1))
            return false;
        field = (*bytes)[0];
        return true;
    };
    if (key == "out" || key == "in") {
        card.present = key == "in";
        return true;
    }
    switch (card.kind) {
    case CardKind::Iso14443A:
        if (key == "uid") {
            if (!bytes || (bytes->size() != 4 && bytes->size() != 7 && bytes->size() != 10)) {
                error = "uid takes 4, 7 or 10 bytes in hexadecimal";
                return false;
            }
            card.uid = *bytes;
            return true;
        }
        if (key == "atqa") {
            if (!exactly(2))
                return false;
            card.atqa = {(*bytes)[0], (*bytes)[1]};
            return true;
        }
        if (key == "sak")
            return one(card.sak);
        if (key == "ats") {
            if (lowerCase(value) == "none") {
                card.ats.clear();
                return true;
            }
            if (!bytes || bytes->size() > 254) {
                error = "ats takes up to 254 bytes in hexadecimal, TL first, or none";
                return false;
            }
            card.ats = *bytes;
            return true;
        }
        if (key == "sl") {
            if (value.size() != 1 || value[0] < '0' || value[0] > '3') {
                error = "sl takes a security level from 0 to 3";
                return false;
            }
            card.securityLevel = value[0] - '0';
            return true;
        }
        break;
    case CardKind::Iso14443B:
        if (key == "pupi") {
            if (!exactly(4))
                return false;
            card.uid = *bytes;
            return true;
        }
        if (key == "app") {
            if (!exactly(4))
                return false;
            std::copy(bytes->begin(), bytes->end(), card.appData.begin());
            return true;
        }
        if (key == "info") {
            if (!exactly(3))
                return false;
            std::copy(bytes->begin(), bytes->end(), card.protocolInfo.begin());
            return true;
        }
        break;
    case CardKind::Felica:
        if (key == "idm") {
            if (!bytes || bytes->empty() || bytes->size() > 252) {
                error = "idm takes 1 to 252 bytes in hexadecimal (8 for a real card)";
                return false;
            }
            card.uid = *bytes;
            return true;
        }
        if (key == "pmm") {
            if (!bytes || bytes->size() > 8) {
                error = "pmm takes up to 8 bytes in hexadecimal";
                return false;
            }
            card.pmm = *bytes;
            return true;
        }
        if (key == "slot")
            return one(card.slot);
        if (key == "sub")
            return one(card.subResponse);
        break;
    case CardKind::Iso15693:
        if (key == "uid") {
            if (!exactly(8))
                return false;
            card.uid = *bytes;
            return true;
        }
        if (key == "dsfid")
            return one(card.dsfid);
        break;
    }
    error = "unknown option \"" + key + "\" for this kind of card";
    return false;
}

bool applyOptions(Card &card, std::string_view options, std::string &error)
{
    std::size_t pos = 0;
    while (pos < options.size()) {
        const std::size_t end = std::min(options.find(',', pos), options.size());
        const std::string_view item = options.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        const std::string key = lowerCase(item.substr(0, eq));
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
        if (!setOption(card, key, value, error))
            return false;
    }
    return true;
}

} // namespace

std::optional<Card> parseCard(std::string_view text, std::string *error)
{
    const std::size_t colon = text.find(':');
    const std::string name = lowerCase(text.substr(0, colon));
    const auto preset = std::find_if(presets().begin(), presets().end(),
                                     [&](const Preset &p) { return p.name == name; });
    std::string why;
    if (preset == presets().end()) {
        why = "unknown card kind \"" + name + "\" (14a, 14b, felica, 15693 or a preset)";
    } else {
        Card card;
        card.kind = preset->kind;
        card.label = name;
        if (applyOptions(card, preset->options, why) &&
            (colon == std::string_view::npos || applyOptions(card, text.substr(colon + 1), why)))
            return card;
    }
    if (error)
        *error = why;
    return std::nullopt;
}

std::string describeCard(const Card &card)
{
    std::string text = card.label + ":";
    switch (card.kind) {
    case CardKind::Iso14443A:
        text += "uid=" + hex(card.uid) + ",atqa=" + hex(card.atqa) +
                ",sak=" + hex(std::span(&card.sak, 1)) +
                ",ats=" + (card.ats.empty() ? std::string("none") : hex(card.ats)) +
                ",sl=" + std::to_string(card.securityLevel);
        break;
    case CardKind::Iso14443B:
        text += "pupi=" + hex(card.uid) + ",app=" + hex(card.appData) +
                ",info=" + hex(card.protocolInfo);
        break;
    case CardKind::Felica:
        text += "idm=" + hex(card.uid) + ",slot=" + hex(std::span(&card.slot, 1)) +
                ",sub=" + hex(std::span(&card.subResponse, 1));
        if (!card.pmm.empty())
            text += ",pmm=" + hex(card.pmm);
        break;
    case CardKind::Iso15693:
        text += "uid=" + hex(card.uid) + ",dsfid=" + hex(std::span(&card.dsfid, 1));
        break;
    }
    return text;
}

std::vector<std::pair<std::string, std::string>> cardPresets()
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const Preset &p : presets())
        out.emplace_back(std::string(p.name), std::string(p.about) + ": " + std::string(p.options));
    return out;
}

std::vector<Card> defaultField()
{
    std::vector<Card> field;
    for (std::string_view kind : {"14a", "14b", "felica", "15693"})
        field.push_back(*parseCard(kind));
    return field;
}

} // namespace qn480::sim
