// SPDX-License-Identifier: GPL-3.0-or-later
// qn480-sim: a QN480 reader on a pseudo-terminal, for the tool, the tests and the benchmarks.

#include "faults.h"
#include "process_guard.h"
#include "pty_server.h"
#include "reader_model.h"
#include "text_util.h"

#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

using namespace qn480;
using namespace qn480::sim;

namespace {

constexpr int kDefaultComNumber = 20;
constexpr int kMaxComNumber = 99999;
// Longer than any response the link waits for; more is a typo.
constexpr long long kMaxDelayMs = 60000;

// A command line longer than this is dropped; and a run of this many bytes without a line
// end (/dev/zero) is not a command stream at all.
constexpr std::size_t kMaxCommandLine = 4096;
constexpr std::size_t kMaxWithoutLineEnd = 1 << 20;

void printUsage()
{
    std::cout << R"(Usage: qn480-sim [options]

A simulated QN480 reader on a pseudo-terminal. It prints the device to open and the
QN480_PORTS entry that makes the tool list it, then answers requests until interrupted.

Options:
  --card CARD      put a card into the field (repeatable; the first card of an air
                   interface answers its polls). Without --card the field holds one
                   card of each interface: 14a, 14b, felica and 15693 as below.
  --link PATH      keep a symbolic link at PATH to the current pty. It goes when the
                   reader hangs up (before the pty's number is freed) and comes back
                   with the new pty, and goes when the simulator quits. A link already
                   at PATH is replaced only when it leads to a /dev/pts/N that no
                   longer exists (a killed simulator's); a link to a pty still in use
                   (a running simulator's) or anything else is left alone, exit 2
  --com N          COM number of the printed QN480_PORTS entry, 1 to 99999 (default 20)
  --log            timestamped hex of every request (>>) and response (<<) on stderr
  --seed N         seed of the fault generator, 0 to 4294967295 (default 1); the same
                   seed repeats a run
  --drop P         probability (0 to 1) that a response is not sent
  --corrupt P      ... that its checksum is wrong
  --noise P        ... that 1 to 8 noise bytes come before it
  --split P        ... that it is written in 2 to 4 pieces
  --delay P        ... that it is held back by --delay-ms (0 to 60000, default 100)
  --pace P         ... that it goes out at the real 115200-baud rate (86.8 us a byte),
                   after the request's own wire time; --pace 1 paces every response
  --hangup P       ... that the reader hangs up instead of answering (the pty closes
                   and a new one opens a second later; --link goes and comes back)
  --help           this text
  --version        the version

Card CARD: KIND[:key=value,...], KIND being 14a, 14b, felica, 15693 or a preset.
  14a     uid= 4, 7 or 10 bytes, atqa= 2 bytes, sak=, ats= the answer to select, TL first,
          without CRC (none: the card has none), sl= 0-3 (only 0 passes the probe)
  14b     pupi= 4 bytes, app= 4 bytes, info= 3 bytes
  felica  idm= (8 bytes), pmm= (optional, sent after the IDm), slot=, sub=
  15693   uid= 8 bytes, dsfid=
  any     out: start outside the field
Bytes are hexadecimal without blanks: --card 14a:uid=04505D1AB76880,atqa=4400,sak=20

Presets and what they are:
)";
    for (const auto &[name, about] : cardPresets())
        std::cout << "  " << name << std::string(name.size() < 12 ? 12 - name.size() : 1, ' ')
                  << about << "\n";
    std::cout << R"(
Commands on standard input:
  list             the cards, numbered, and whether each is in the field
  place N|all      put card N (or all) into the field
  remove N|all     take card N (or all) out of the field
  add CARD         add a card, in the field
  hangup           hang up now
  quit             stop
)";
}

bool parseRate(std::string_view text, double &rate)
{
    const std::optional<double> value = numberIn(text);
    if (!value || !(*value >= 0 && *value <= 1))
        return false;
    rate = *value;
    return true;
}

void listCards(const ReaderModel &model)
{
    for (std::size_t i = 0; i < model.cards().size(); ++i) {
        const Card &card = model.cards()[i];
        std::cout << "card " << i + 1 << (card.present ? " in field   " : " out        ")
                  << describeCard(card) << "\n";
    }
    if (model.cards().empty())
        std::cout << "no cards\n";
    std::cout.flush();
}

// The card a place or remove names: a number from 1 to the number of cards, or all.
bool setPresence(const std::string &verb, const std::string &which, ReaderModel &model)
{
    const bool present = verb == "place";
    const std::size_t count = model.cards().size();
    if (which == "all") {
        for (std::size_t i = 0; i < count; ++i)
            model.setPresent(i, present);
        return true;
    }
    const auto n = decimalIn(which, 1, static_cast<long long>(count));
    if (!n) {
        std::cout << verb << ": no card " << quoted(which) << "; cards are numbered 1 to " << count
                  << " (see list), or all\n"
                  << std::flush;
        return false;
    }
    model.setPresent(static_cast<std::size_t>(*n - 1), present);
    return true;
}

// One line of standard input; returns false for quit.
bool command(const std::string &line, ReaderModel &model, PtyServer &server)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty())
        return true;
    const std::string &verb = words[0];
    const bool takesOne = verb == "place" || verb == "remove" || verb == "add";
    const bool known =
        takesOne || verb == "list" || verb == "hangup" || verb == "quit" || verb == "exit";
    if (!known || words.size() != (takesOne ? 2u : 1u)) {
        std::cout << "commands: list, place N|all, remove N|all, add CARD, hangup, quit\n"
                  << std::flush;
        return true;
    }
    if (verb == "list") {
        listCards(model);
    } else if (verb == "place" || verb == "remove") {
        if (setPresence(verb, words[1], model))
            listCards(model);
    } else if (verb == "add") {
        std::string error;
        if (auto card = parseCard(words[1], &error)) {
            model.addCard(*card);
            listCards(model);
        } else {
            std::cout << error << "\n" << std::flush;
        }
    } else if (verb == "hangup") {
        server.hangUp();
    } else {
        return false; // quit, exit
    }
    return true;
}

// Standard input cut into command lines, each of bounded length.
class CommandLines
{
public:
    // Takes what was read; calls `run` for each complete line until it returns false.
    // Returns false when input should no longer be read (quit, or no line ends at all).
    bool take(std::string_view bytes, const std::function<bool(const std::string &)> &run)
    {
        for (const char c : bytes) {
            if (c == '\n') {
                const bool dropped = m_dropping;
                m_dropping = false;
                m_dropped = 0;
                std::string line;
                line.swap(m_line);
                if (!dropped && !run(line))
                    return false;
                continue;
            }
            if (m_dropping) {
                if (++m_dropped > kMaxWithoutLineEnd) {
                    std::cerr << "qn480-sim: no line end in " << kMaxWithoutLineEnd
                              << " bytes of standard input; no longer reading commands\n";
                    return false;
                }
                continue;
            }
            m_line += c;
            if (m_line.size() > kMaxCommandLine) {
                std::cerr << "qn480-sim: dropping a command line longer than " << kMaxCommandLine
                          << " bytes\n";
                m_dropping = true;
                m_dropped = m_line.size();
                m_line.clear();
            }
        }
        return true;
    }

private:
    std::string m_line;
    bool m_dropping = false;
    std::size_t m_dropped = 0;
};

} // namespace

int main(int argc, char **argv)
{
    std::vector<Card> field;
    FaultRates rates;
    std::uint32_t seed = 1;
    std::string linkPath;
    int comNumber = kDefaultComNumber;
    bool logging = false;

    // Before anything is opened: the pty must never become standard output.
    openMissingStandardDescriptors();
    // SIGINT, SIGTERM and SIGHUP end the run from its own loop, even one that arrives
    // before the loop starts: the pty closes, the link goes, and the exit is 0, as after quit.
    const int stopPipe = catchStopSignals();

    const auto fail = [](const std::string &message) {
        std::cerr << "qn480-sim: " << message << " (see --help)\n";
        return 2;
    };
    // "--com takes a number from 1 to 99999, not "5abc"".
    const auto failValue = [&](const std::string &option, const std::string &what,
                               const char *value) {
        return fail(option + " takes " + what + (value ? ", not " + quoted(value) : ""));
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        const auto takesValue = [&] {
            if (!value)
                return false;
            ++i;
            return true;
        };
        struct RateOption
        {
            const char *name;
            double *rate;
        };
        const RateOption rateOptions[] = {
            {"--drop", &rates.drop},     {"--corrupt", &rates.corrupt}, {"--noise", &rates.noise},
            {"--split", &rates.split},   {"--delay", &rates.delay},     {"--pace", &rates.pace},
            {"--hangup", &rates.hangUp},
        };
        bool handled = false;
        for (const RateOption &option : rateOptions) {
            if (arg == option.name) {
                if (!takesValue() || !parseRate(value, *option.rate))
                    return failValue(arg, "a probability from 0 to 1", value);
                handled = true;
            }
        }
        if (handled)
            continue;
        if (arg == "--help" || arg == "-h") {
            printUsage();
            return 0;
        } else if (arg == "--version") {
            std::cout << "qn480-sim " << QN480_VERSION << "\n";
            return 0;
        } else if (arg == "--card") {
            if (!takesValue())
                return fail("--card takes a card");
            std::string error;
            auto card = parseCard(value, &error);
            if (!card)
                return fail("--card " + std::string(value) + ": " + error);
            field.push_back(*card);
        } else if (arg == "--link") {
            if (!takesValue())
                return fail("--link takes a path");
            linkPath = value;
        } else if (arg == "--com") {
            const auto n = takesValue() ? decimalIn(value, 1, kMaxComNumber) : std::nullopt;
            if (!n)
                return failValue(arg, "a number from 1 to " + std::to_string(kMaxComNumber), value);
            comNumber = static_cast<int>(*n);
        } else if (arg == "--seed") {
            const auto n = takesValue() ? decimalIn(value, 0, UINT32_MAX) : std::nullopt;
            if (!n)
                return failValue(arg, "a number from 0 to " + std::to_string(UINT32_MAX), value);
            seed = static_cast<std::uint32_t>(*n);
        } else if (arg == "--delay-ms") {
            const auto n = takesValue() ? decimalIn(value, 0, kMaxDelayMs) : std::nullopt;
            if (!n) {
                return failValue(arg, "milliseconds from 0 to " + std::to_string(kMaxDelayMs),
                                 value);
            }
            rates.delayBy = std::chrono::milliseconds(*n);
        } else if (arg == "--log") {
            logging = true;
        } else {
            return fail("unknown option " + arg);
        }
    }

    ReaderModel model(field.empty() ? defaultField() : field);
    FaultInjector faults(rates, seed);
    PtyServer server(model, faults);
    if (logging)
        server.setLog([](const std::string &line) { std::cerr << line << std::endl; });

    std::string error;
    if (!server.open(&error)) {
        std::cerr << "qn480-sim: cannot open a pseudo-terminal: " << error << "\n";
        return 1;
    }
    if (!linkPath.empty()) {
        // Refusing to replace someone's link is the user's mistake; failing to make ours is not.
        const auto made = server.setLinkPath(linkPath, &error);
        if (made != PtyServer::LinkResult::Made) {
            std::cerr << "qn480-sim: " << error << "\n";
            return made == PtyServer::LinkResult::Refused ? 2 : 1;
        }
    }
    const auto announce = [&](const std::string &slave) {
        char com[16];
        std::snprintf(com, sizeof com, "COM%02d", comNumber);
        // After a hang-up someone else may have taken the link's path meanwhile.
        const bool linked = !linkPath.empty() && server.hasLink();
        if (!linkPath.empty() && !linked)
            std::cerr << "qn480-sim: " << server.linkError() << "\n" << std::flush;
        std::cout << "qn480-sim: reader on " << slave;
        if (linked)
            std::cout << " (link " << linkPath << ")";
        std::cout << "\nQN480_PORTS=" << com << "=" << (linked ? linkPath : slave) << "\n"
                  << std::flush;
    };
    announce(server.slavePath());
    server.setReopened(announce);
    listCards(model);

    server.stopOn(stopPipe);

    // A background job reading its terminal would be stopped; such a run takes no commands.
    const bool commands = !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) == getpgrp();
    CommandLines lines;
    server.run(commands ? STDIN_FILENO : -1, [&] {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0)
            return n < 0 && errno == EINTR; // end of input: serve on without commands
        const bool more = lines.take(std::string_view(buf, static_cast<std::size_t>(n)),
                                     [&](const std::string &line) {
                                         if (command(line, model, server))
                                             return true;
                                         server.stop();
                                         return false;
                                     });
        return more;
    });
    return 0;
}
