// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The simulated QN480: a model of the reader that turns request bytes into response bytes,
// with no I/O and no clock, so that tests can drive it byte by byte. The faults
// (faults.h) and the pty (pty_server.h) are layered on top.
namespace qn480::sim {

using Bytes = std::vector<std::uint8_t>;

enum class CardKind { Iso14443A, Iso14443B, Felica, Iso15693 };

// A card in (or out of) the reader's field. Only the fields of its kind matter.
struct Card
{
    CardKind kind = CardKind::Iso14443A;
    std::string label; // what `list` shows: the kind or preset it came from
    bool present = true;

    // ISO14443A
    Bytes uid; // 4, 7 or 10 bytes; FeliCa IDm, ISO15693 UID too
    std::array<std::uint8_t, 2> atqa{0x04, 0x00};
    std::uint8_t sak = 0x08;
    Bytes ats;             // as sent, TL first, without CRC; empty: no ISO14443-4
    int securityLevel = 3; // MIFARE Plus: only 0 accepts the probe

    // ISO14443B: PUPI in `uid`
    std::array<std::uint8_t, 4> appData{};
    std::array<std::uint8_t, 3> protocolInfo{0x00, 0x81, 0x71};

    // FeliCa: IDm in `uid`
    std::uint8_t slot = 0x00;
    std::uint8_t subResponse = 0x01;
    Bytes pmm; // sent after the IDm when given

    // ISO15693: UID in `uid`
    std::uint8_t dsfid = 0x00;
};

// "14a:uid=04505D1AB76880,atqa=4400,sak=20,ats=067577810280,sl=3", "14b:pupi=...",
// "felica:idm=...", "15693:uid=...", or a preset name ("desfire", "classic1k", ...) with
// optional overrides ("desfire:uid=04112233445566"). Fills `error` when it cannot be read.
std::optional<Card> parseCard(std::string_view text, std::string *error = nullptr);
// The text the option takes back: kind or preset, then every field.
std::string describeCard(const Card &card);
// Preset names with one line each, for --help.
std::vector<std::pair<std::string, std::string>> cardPresets();
// The field without --card options: one card of each air interface.
std::vector<Card> defaultField();

// The reader's keyboard-emulation settings, at their defaults until a Set changes them.
struct KeypadSettings
{
    std::uint8_t mode = 0x0F;
    std::uint8_t type = 0x1F;
    std::array<std::uint8_t, 3> addType{0x05, 0x01, 0x80};
    std::uint8_t sendTime = 10;
    std::uint8_t scanTime = 5;
    std::uint8_t sameTime = 15;
};

// One request the model took from the line and what it answers (empty: nothing).
struct Exchange
{
    Bytes request;
    Bytes response;
};

class ReaderModel
{
public:
    explicit ReaderModel(std::vector<Card> field = defaultField());

    // Bytes from the host; returns each request completed by them with its answer.
    std::vector<Exchange> receive(std::span<const std::uint8_t> bytes);
    // The line has been quiet for a while: a half-received request is abandoned, as the
    // reader's UART receiver does.
    void idle();
    bool receiving() const { return !m_open.empty(); }

    std::vector<Card> &cards() { return m_cards; }
    const std::vector<Card> &cards() const { return m_cards; }
    // Adds a card, present; returns its index.
    std::size_t addCard(Card card);
    bool setPresent(std::size_t index, bool present);

    bool carrier() const { return m_carrier; }
    const KeypadSettings &keypad() const { return m_keypad; }

private:
    struct Request
    {
        std::uint8_t group;
        std::uint8_t code;
        std::span<const std::uint8_t> data;
    };
    struct Answer
    {
        std::uint8_t status;
        Bytes data;
    };

    Answer answer(const Request &request);
    Answer reader(const Request &request);
    Answer iso14443A(const Request &request);
    Answer poll(CardKind kind, const Request &request, std::size_t dataLength);
    const Card *firstPresent(CardKind kind) const;
    // The 14443A card that answered the last request, while it stays in the field.
    const Card *activeA() const;

    std::vector<Card> m_cards;
    KeypadSettings m_keypad;
    bool m_carrier = false;

    // 14443A state of the card that answered the last request.
    std::optional<std::size_t> m_activeA;
    int m_selectedLevel = 0; // highest level selected so far
    bool m_selected = false; // its UID is complete and it was selected

    struct Candidate
    {
        int start = 0; // index of its 0xAA in m_bytes
        int size = 0;  // whole request, 0 until LEN has arrived, -1 closed
    };
    Bytes m_bytes; // from the oldest open candidate on
    std::vector<Candidate> m_open;
};

// The response frame: AA, LEN, 00 00, the request's group and code, status, data, xor.
Bytes responseFrame(std::uint8_t group, std::uint8_t code, std::uint8_t status,
                    std::span<const std::uint8_t> data = {});

} // namespace qn480::sim
