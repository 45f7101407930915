// SPDX-License-Identifier: GPL-3.0-or-later
#include "reader_model.h"

#include "frame.h"

#include "fake_reader.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qn480::sim {
namespace {

using qn480::testing::hex;
using qn480::testing::hexText;

// Plays a hand-written transcript against the model: every ">>" line is fed as request
// bytes, and the "<<" lines after it must be exactly what the model answers ("<< none": no
// answer).
void play(ReaderModel &model, std::string_view transcript)
{
    std::istringstream in{std::string(transcript)};
    std::string line;
    std::string expected;
    std::string answered;
    std::string request;
    const auto check = [&] {
        if (!request.empty()) {
            EXPECT_EQ(answered, expected) << "answer to " << request;
        }
        expected.clear();
    };
    while (std::getline(in, line)) {
        const auto start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        line = line.substr(start);
        if (line.rfind(">>", 0) == 0) {
            check();
            request = line.substr(3);
            answered.clear();
            for (const Exchange &exchange : model.receive(hex(request)))
                answered += (answered.empty() ? "" : " ") + hexText(exchange.response);
        } else if (line.rfind("<<", 0) == 0) {
            const std::string bytes = line.substr(3) == "none" ? "" : line.substr(3);
            expected += (expected.empty() || bytes.empty() ? "" : " ") + bytes;
        }
    }
    check();
}

Card card(std::string_view text)
{
    std::string error;
    auto parsed = parseCard(text, &error);
    EXPECT_TRUE(parsed) << text << ": " << error;
    return parsed.value_or(Card{});
}

// Asks as the tool does, for walks that depend on a card's bytes; the transcripts are the
// check on the frame layout itself.
Bytes ask(ReaderModel &model, std::uint8_t group, std::uint8_t code, const Bytes &data = {})
{
    const auto exchanges = model.receive(buildRequest(group, code, data));
    return exchanges.size() == 1 ? exchanges[0].response : Bytes{};
}

// Hand-written transcripts, each against a fresh model with the cards given (none: the
// default field, one card of each interface).
TEST(ReaderModel, AnswersAsTheTranscriptsSay)
{
    const struct
    {
        const char *name;
        std::vector<std::string> cards;
        std::string_view transcript;
    } cases[] = {
        {"a single-size cascade of a four-byte card", {"14a:uid=12345678,atqa=0400,sak=08"}, R"(
        >> AA 00 04 00 00 0A 00 0E
        << AA 00 05 00 00 0A 00 01 0E
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 04 00 18
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 09 00 00 0A 12 01 12 34 56 78 18
        >> AA 00 09 00 00 0A 13 01 12 34 56 78 19
        << AA 00 06 00 00 0A 13 01 08 16
        >> AA 00 09 00 00 0A 15 01 12 34 56 78 1F
        << AA 00 05 00 00 0A 15 E0 FA
        >> AA 00 04 00 00 00 31 35
        << AA 00 05 00 00 00 31 01 35
    )"},
        {"a double-size UID walks two levels with the cascade tag", {"ultralight"}, R"(
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 44 00 58
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 09 00 00 0A 12 01 88 04 A1 B2 8F
        >> AA 00 09 00 00 0A 13 01 88 04 A1 B2 8E
        << AA 00 06 00 00 0A 13 01 04 1A
        >> AA 00 06 00 00 0A 12 02 00 1C
        << AA 00 09 00 00 0A 12 01 C3 D4 E5 F6 14
        >> AA 00 09 00 00 0A 13 02 C3 D4 E5 F6 16
        << AA 00 06 00 00 0A 13 01 00 1E
    )"},
        {"DESFire answers to select, and refuses the level probe", {"desfire"}, R"(
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 44 03 5B
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 09 00 00 0A 12 01 88 04 50 5D 91
        >> AA 00 09 00 00 0A 13 01 88 04 50 5D 90
        << AA 00 06 00 00 0A 13 01 04 1A
        >> AA 00 06 00 00 0A 12 02 00 1C
        << AA 00 09 00 00 0A 12 01 1A B7 68 80 55
        >> AA 00 09 00 00 0A 13 02 1A B7 68 80 57
        << AA 00 06 00 00 0A 13 01 20 3E
        >> AA 00 09 00 00 0A 15 02 1A B7 68 80 51
        << AA 00 0B 00 00 0A 15 01 06 75 77 81 02 80 12
        >> AA 00 17 00 00 0A 40 01 90 00 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A 5A CC
        << AA 00 05 00 00 0A 40 B0 FF
    )"},
        {"only the next level of the answering card responds", {"14a:uid=12345678"}, R"(
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 05 00 00 0A 10 E0 FF
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 05 00 00 0A 12 E0 FD
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 04 00 18
        >> AA 00 06 00 00 0A 12 02 00 1C
        << AA 00 05 00 00 0A 12 E0 FD
        >> AA 00 09 00 00 0A 13 01 12 34 56 79 18
        << AA 00 05 00 00 0A 13 E0 FC
        >> AA 00 09 00 00 0A 13 01 12 34 56 78 19
        << AA 00 06 00 00 0A 13 01 08 16
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 05 00 00 0A 12 E0 FD
    )"},
        {"the default field: each interface answers with its own card in its own layout", {}, R"(
        >> AA 00 04 00 00 0B 00 0F
        << AA 00 05 00 00 0B 00 01 0F
        >> AA 00 06 00 00 0B 10 00 00 1D
        << AA 00 05 00 00 0B 10 E0 FE
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 06 00 00 0B 10 00 00 1D
        << AA 00 10 00 00 0B 10 01 1A 2B 3C 4D 00 00 00 00 00 81 71 BA
        >> AA 00 04 00 00 0C 00 08
        << AA 00 05 00 00 0C 00 01 08
        >> AA 00 08 00 00 0C 10 FF FF 00 00 14
        << AA 00 10 00 00 0C 10 01 00 01 0B 01 02 03 04 05 06 07 08 0F
        >> AA 00 04 00 00 0D 00 09
        << AA 00 05 00 00 0D 00 01 09
        >> AA 00 06 00 00 0D 10 00 00 1B
        << AA 00 0E 00 00 0D 10 01 00 11 22 33 44 55 66 77 88 9A
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 04 00 18
        >> AA 00 04 00 00 00 31 35
        << AA 00 05 00 00 00 31 01 35
        >> AA 00 08 00 00 0C 10 FF FF 00 00 14
        << AA 00 05 00 00 0C 10 E0 F9
    )"},
        {"FeliCa's end index counts from its slot, and its PMm follows the IDm",
         {"felica:idm=0102030405060708,pmm=1122334455667788,slot=02,sub=00"},
         R"(
        >> AA 00 04 00 00 00 30 34
        << AA 00 05 00 00 00 30 01 34
        >> AA 00 08 00 00 0C 10 FF FF 00 00 14
        << AA 00 18 00 00 0C 10 01 02 00 0B 01 02 03 04 05 06 07 08 11 22 33 44 55 66 77 88 8C
    )"},
        {"the six settings are stored, unknown values refused", {}, R"(
        >> AA 00 04 00 00 00 10 14
        << AA 00 06 00 00 00 10 01 0F 18
        >> AA 00 04 00 00 00 12 16
        << AA 00 06 00 00 00 12 01 1F 0A
        >> AA 00 04 00 00 00 1A 1E
        << AA 00 08 00 00 00 1A 01 05 01 80 97
        >> AA 00 04 00 00 00 18 1C
        << AA 00 06 00 00 00 18 01 0A 15
        >> AA 00 04 00 00 00 16 12
        << AA 00 06 00 00 00 16 01 0F 1E
        >> AA 00 05 00 00 00 15 C8 D8
        << AA 00 05 00 00 00 15 01 11
        >> AA 00 04 00 00 00 14 10
        << AA 00 06 00 00 00 14 01 C8 DB
        >> AA 00 07 00 00 00 1B 09 04 81 90
        << AA 00 05 00 00 00 1B 01 1F
        >> AA 00 07 00 00 00 1B 0B 01 80 96
        << AA 00 05 00 00 00 1B 22 3C
        >> AA 00 04 00 00 00 1A 1E
        << AA 00 08 00 00 00 1A 01 09 04 81 9F
        >> AA 00 07 00 00 00 1B 0C 04 41 55
        << AA 00 05 00 00 00 1B 01 1F
        >> AA 00 04 00 00 00 1A 1E
        << AA 00 08 00 00 00 1A 01 0C 04 41 5A
    )"},
        {"unknown group and code, bad checksum, bad parameters; a bad request is not carried out",
         {},
         R"(
        >> AA 00 04 00 00 0E 10 1A
        << AA 00 05 00 00 0E 10 20 3B
        >> AA 00 04 00 00 0A 77 79
        << AA 00 05 00 00 0A 77 21 59
        >> AA 00 04 00 00 00 77 73
        << AA 00 05 00 00 00 77 21 53
        >> AA 00 04 00 00 00 30 35
        << AA 00 05 00 00 00 30 11 24
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 05 00 00 0A 10 E0 FF
        >> AA 00 05 00 00 00 10 00 15
        << AA 00 05 00 00 00 10 22 37
        >> AA 00 04 00 00 00 11 15
        << AA 00 05 00 00 00 11 22 36
    )"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Card> cards;
        for (const std::string &text : c.cards)
            cards.push_back(card(text));
        ReaderModel model(cards.empty() ? defaultField() : cards);
        play(model, c.transcript);
    }
}

TEST(ReaderModelTypeA, SecurityLevelDecidesTheProbe)
{
    // The level probe passes only on a card in security level 0.
    for (const auto &[level, status] : {std::pair{"0", 0x01}, {"3", 0xB0}}) {
        ReaderModel model({card(std::string("14a:uid=01020304,atqa=4400,sak=20,sl=") + level)});
        ask(model, 0x00, 0x30);
        ask(model, 0x0A, 0x10);
        ask(model, 0x0A, 0x12, {0x01, 0x00});
        ask(model, 0x0A, 0x13, {0x01, 0x01, 0x02, 0x03, 0x04});
        Bytes probe{0x01, 0x90, 0x00};
        probe.resize(19, 0x5A);
        EXPECT_EQ(ask(model, 0x0A, 0x40, probe).at(7), status) << "sl=" << level;
    }
}

TEST(ReaderModelTypeA, RemovingTheCardEndsItsAnswersAndPlacingItBackRestoresThem)
{
    ReaderModel model({card("14a:uid=12345678")});
    model.receive(hex("AA 00 04 00 00 00 30 34"));
    model.receive(hex("AA 00 04 00 00 0A 10 1E"));
    model.setPresent(0, false);
    play(model, R"(
        >> AA 00 06 00 00 0A 12 01 00 1F
        << AA 00 05 00 00 0A 12 E0 FD
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 05 00 00 0A 10 E0 FF
    )");
    model.setPresent(0, true);
    play(model, R"(
        >> AA 00 04 00 00 0A 10 1E
        << AA 00 07 00 00 0A 10 01 04 00 18
    )");
}

TEST(ReaderModelKeypad, EveryUnknownFormatCodeAndEveryOddReversalIsRefused)
{
    ReaderModel model;
    for (int format = 0; format < 256; ++format) {
        for (int reversal = 0; reversal < 8; ++reversal) {
            const bool known = (format >= 1 && format <= 10) || format == 12;
            const bool reversible = reversal == 1 || reversal == 2 || reversal == 4;
            const Bytes reply =
                ask(model, 0x00, 0x1B, {std::uint8_t(format), std::uint8_t(reversal), 0x80});
            ASSERT_EQ(reply.size(), 9u);
            EXPECT_EQ(reply[7], known && reversible ? 0x01 : 0x22)
                << "format " << format << " reversal " << reversal;
        }
    }
}

TEST(ReaderModelFraming, RequestsAreFramedByLengthWhateverTheyContain)
{
    ReaderModel model({card("14a:uid=AA345678")});
    model.receive(hex("AA 00 04 00 00 00 30 34"));
    model.receive(hex("AA 00 04 00 00 0A 10 1E"));
    model.receive(hex("AA 00 06 00 00 0A 12 01 00 1F"));
    // Noise before, a start mark inside the data, and the frame in three pieces.
    EXPECT_TRUE(model.receive(hex("13 37 AA 00 09 00")).empty());
    EXPECT_TRUE(model.receive(hex("00 0A 13 01 AA")).empty());
    const auto reply = model.receive(hex("34 56 78 A1"));
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(hexText(reply[0].request), "AA 00 09 00 00 0A 13 01 AA 34 56 78 A1");
    EXPECT_EQ(hexText(reply[0].response), "AA 00 06 00 00 0A 13 01 08 16");
}

TEST(ReaderModelFraming, AQuietLineAbandonsAHalfRequestAndBadLengthsDoNotStickTheReceiver)
{
    ReaderModel model;
    EXPECT_TRUE(model.receive(hex("AA 00 04 00 00")).empty());
    EXPECT_TRUE(model.receiving());
    model.idle();
    EXPECT_FALSE(model.receiving());
    // Two requests in one chunk get two answers, in order; a bad length costs only its own
    // frame.
    play(model, R"(
        >> AA 00 04 00 00 00 10 14 AA 00 04 00 00 00 12 16
        << AA 00 06 00 00 00 10 01 0F 18
        << AA 00 06 00 00 00 12 01 1F 0A
        >> AA 00 02 AA 00 04 00 00 00 10 14
        << AA 00 06 00 00 00 10 01 0F 18
        >> AA 04 00 00 00 00 10
        << none
        >> AA AA 00 04 00 00 00 10 14
        << AA 00 06 00 00 00 10 01 0F 18
    )");
}

TEST(ReaderModelCards, EachPresetIsFoundByItsOwnInterface)
{
    for (const auto &[name, about] : cardPresets()) {
        ReaderModel model({card(name)});
        std::vector<Bytes> answers{ask(model, 0x00, 0x30), ask(model, 0x0B, 0x10, {0, 0}),
                                   ask(model, 0x0C, 0x10, {0xFF, 0xFF, 0, 0}),
                                   ask(model, 0x0D, 0x10, {0, 0})};
        if (model.cards().front().kind == CardKind::Iso14443A) {
            // The cascade as the tool walks it.
            answers.push_back(ask(model, 0x0A, 0x10));
            for (std::uint8_t level = 1; level <= 2; ++level) {
                const Bytes uid = ask(model, 0x0A, 0x12, {level, 0});
                ASSERT_EQ(uid.size(), 13u) << name;
                answers.push_back(uid);
                Bytes select{level};
                select.insert(select.end(), uid.begin() + 8, uid.begin() + 12);
                const Bytes sak = ask(model, 0x0A, 0x13, select);
                ASSERT_EQ(sak.size(), 10u) << name;
                answers.push_back(sak);
                if ((sak[8] & 0x04) == 0) {
                    const Bytes ats = ask(model, 0x0A, 0x15, select);
                    if (ats[7] == 0x01)
                        answers.push_back(ats);
                    break;
                }
            }
        }
        std::size_t marks = 0;
        for (const Bytes &answer : answers) {
            ASSERT_GE(answer.size(), 9u) << name;
            marks += static_cast<std::size_t>(std::count(answer.begin() + 1, answer.end(), 0xAA));
        }
        // The one preset that carries start marks inside its answers, for the tool's framing.
        EXPECT_EQ(marks > 0, name == "classic-aa") << name;
        // Each preset's own interface finds it.
        EXPECT_EQ(std::count_if(answers.begin() + 1, answers.end(),
                                [](const Bytes &a) { return a[7] == 0x01; }) > 0,
                  true)
            << name;
    }
}

TEST(ReaderModelCards, OptionsOverridePresetsAndBadOptionsSayWhy)
{
    const Card desfire = card("desfire:uid=04010203040506,ats=none");
    EXPECT_EQ(hexText(desfire.uid), "04 01 02 03 04 05 06");
    EXPECT_TRUE(desfire.ats.empty());
    EXPECT_EQ(desfire.sak, 0x20);
    EXPECT_FALSE(card("14b:out").present);
    EXPECT_EQ(describeCard(card("15693:uid=E004010203040506,dsfid=01")),
              "15693:uid=E004010203040506,dsfid=01");

    for (const char *bad : {"14c", "14a:uid=123456", "14a:uid=0102030405", "14a:atqa=44",
                            "14a:sl=4", "14a:pupi=01020304", "14b:pupi=0102",
                            "felica:idm=", "15693:uid=0102030405060708FF", "14a:sak=zz"}) {
        std::string error;
        EXPECT_FALSE(parseCard(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

} // namespace
} // namespace qn480::sim
