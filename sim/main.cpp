// qn480-sim: a QN480 reader on a pseudo-terminal, for the tool, the tests and the benchmarks.

#include "faults.h"
#include "pty_server.h"
#include "reader_model.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace qn480::sim;

namespace {

constexpr int kDefaultComNumber = 20;

PtyServer *g_server = nullptr;

void onSignal(int)
{
    if (g_server)
        g_server->stop();
}

void printUsage()
{
    std::cout << R"(Usage: qn480-sim [options]

A simulated QN480 reader on a pseudo-terminal. It prints the device to open and the
QN480_PORTS entry that makes the tool list it, then answers requests until interrupted.

Options:
  --card CARD      put a card into the field (repeatable; the first card of an air
                   interface answers its polls). Without --card the field holds one
                   card of each interface: 14a, 14b, felica and 15693 as below.
  --link PATH      keep a symbolic link at PATH to the current pty
  --com N          COM number of the printed QN480_PORTS entry (default 20)
  --log            timestamped hex of every request (>>) and response (<<) on stderr
  --seed N         seed of the fault generator (default 1); the same seed repeats a run
  --drop P         probability (0 to 1) that a response is not sent
  --corrupt P      ... that its checksum is wrong
  --noise P        ... that 1 to 8 noise bytes come before it
  --split P        ... that it is written in 2 to 4 pieces
  --delay P        ... that it is held back by --delay-ms (default 100)
  --pace P         ... that it goes out at the real 115200-baud rate (86.8 us a byte),
                   after the request's own wire time; --pace 1 paces every response
  --hangup P       ... that the reader hangs up instead of answering (the pty closes
                   and a new one opens a second later; --link follows it)
  --help           this text

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

bool parseRate(const char *text, double &rate)
{
    char *end = nullptr;
    rate = std::strtod(text, &end);
    return end != text && *end == '\0' && rate >= 0 && rate <= 1;
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

// One line of standard input; returns false for quit.
bool command(const std::string &line, ReaderModel &model, PtyServer &server)
{
    std::istringstream in(line);
    std::string verb;
    std::string argument;
    in >> verb >> argument;
    if (verb.empty())
        return true;
    if (verb == "list") {
        listCards(model);
    } else if (verb == "place" || verb == "remove") {
        const bool present = verb == "place";
        if (argument == "all") {
            for (std::size_t i = 0; i < model.cards().size(); ++i)
                model.setPresent(i, present);
        } else {
            const long n = std::strtol(argument.c_str(), nullptr, 10);
            if (n < 1 || !model.setPresent(static_cast<std::size_t>(n - 1), present)) {
                std::cout << "no card " << argument << "; see list\n" << std::flush;
                return true;
            }
        }
        listCards(model);
    } else if (verb == "add") {
        std::string error;
        if (auto card = parseCard(argument, &error)) {
            model.addCard(*card);
            listCards(model);
        } else {
            std::cout << error << "\n" << std::flush;
        }
    } else if (verb == "hangup") {
        server.hangUp();
    } else if (verb == "quit" || verb == "exit") {
        return false;
    } else {
        std::cout << "commands: list, place N|all, remove N|all, add CARD, hangup, quit\n"
                  << std::flush;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<Card> field;
    FaultRates rates;
    std::uint32_t seed = 1;
    std::string linkPath;
    int comNumber = kDefaultComNumber;
    bool logging = false;

    const auto fail = [](const std::string &message) {
        std::cerr << "qn480-sim: " << message << " (see --help)\n";
        return 2;
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
                    return fail(arg + " takes a probability from 0 to 1");
                handled = true;
            }
        }
        if (handled)
            continue;
        if (arg == "--help" || arg == "-h") {
            printUsage();
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
            if (!takesValue() || std::atoi(value) < 1 || std::atoi(value) > 99999)
                return fail("--com takes a number from 1 to 99999");
            comNumber = std::atoi(value);
        } else if (arg == "--seed") {
            if (!takesValue())
                return fail("--seed takes a number");
            seed = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        } else if (arg == "--delay-ms") {
            if (!takesValue() || std::atoi(value) < 0)
                return fail("--delay-ms takes milliseconds");
            rates.delayBy = std::chrono::milliseconds(std::atoi(value));
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
    if (!linkPath.empty() && !server.setLinkPath(linkPath, &error)) {
        std::cerr << "qn480-sim: " << error << "\n";
        return 1;
    }
    const auto announce = [&](const std::string &slave) {
        char com[16];
        std::snprintf(com, sizeof com, "COM%02d", comNumber);
        std::cout << "qn480-sim: reader on " << slave;
        if (!linkPath.empty())
            std::cout << " (link " << linkPath << ")";
        std::cout << "\nQN480_PORTS=" << com << "=" << (linkPath.empty() ? slave : linkPath) << "\n"
                  << std::flush;
    };
    announce(server.slavePath());
    server.setReopened(announce);
    listCards(model);

    g_server = &server;
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    // A background job reading its terminal would be stopped; such a run takes no commands.
    const bool commands = !isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) == getpgrp();
    std::string pending;
    server.run(commands ? STDIN_FILENO : -1, [&] {
        char buf[1024];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0)
            return n < 0 && errno == EINTR; // end of input: serve on without commands
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (!command(line, model, server)) {
                server.stop();
                return false;
            }
        }
        return true;
    });
    g_server = nullptr;
    return 0;
}
