// SPDX-License-Identifier: GPL-3.0-or-later
#include "actions.h"
#include "card_log.h"
#include "csv.h"
#include "error_line.h"
#include "event_buffer.h"
#include "event_json_read.h"
#include "event_record.h"
#include "fake_reader.h"
#include "presence.h"
#include "private_dir.h"
#include "trace.h"
#include "uid_forms.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qn480 {
namespace {

using namespace std::chrono_literals;
using qn480::testing::hex;

// 2026-03-01T13:05:09.042Z
constexpr EventTime kWhen{1772370309042ms};

TypeACard classic()
{
    return {hex("12345678"), hex("0400"), 0x08, std::nullopt, std::nullopt, "Mifare Classic 1K"};
}

EventRecord event(Card card, PresenceKind kind = PresenceKind::Present, std::uint64_t seq = 1)
{
    return {kWhen, seq, kind, std::move(card)};
}

TEST(EventRecord, WritesTheLinesOfPollForEveryInterface)
{
    struct Case
    {
        Card card;
        std::string json; // without "event" and "time"
        std::string text; // after the time and the event
    };
    const std::vector<Case> cases{
        {classic(),
         R"({"interface":"14a","uid":"0000000078563412","atqa":"04","sak":"08",)"
         R"("type":"Mifare Classic 1K","nfcid":"12345678","atqa_bytes":"0400")",
         "nfcid=12345678 atqa=0400 sak=08 type=Mifare Classic 1K"},
        {TypeACard{hex("0102030405060708090A"),
                   hex("4403"),
                   0x20,
                   hex("067577810280"),
                   {},
                   "Mifare DESFire"},
         R"({"interface":"14a","uid":"0A090807060504030201","atqa":"44","sak":"20",)"
         R"("type":"Mifare DESFire","nfcid":"0102030405060708090A","atqa_bytes":"4403",)"
         R"("ats":"067577810280")",
         "nfcid=0102030405060708090A atqa=4403 sak=20 ats=067577810280 type=Mifare DESFire"},
        {TypeBCard{hex("1A2B3C4D"), hex("00000000"), hex("008171")},
         R"({"interface":"14b","pupi":"1A2B3C4D","app_data":"00000000","info":"008171")",
         "pupi=1A2B3C4D app_data=00000000 info=008171"},
        {FelicaCard{0x00, 0x01, hex("0102030405060708"), hex("1112131415161718")},
         R"({"interface":"felica","slot":"00","sub_response":"01","uid":"0102030405060708",)"
         R"("idm":"0102030405060708")",
         "idm=0102030405060708 slot=00 sub_response=01"},
        {Iso15693Card{0x00, hex("1122334455667788")},
         R"({"interface":"15693","dsfid":"00","uid":"1122334455667788",)"
         R"("uid_msb":"8877665544332211")",
         "uid_msb=8877665544332211 dsfid=00"},
    };
    // Text lines begin as the window's trace lines do.
    const std::string local = traceTimestamp(kWhen);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(eventJsonLine(event(c.card)),
                  c.json + R"(,"event":"present","time":"2026-03-01T13:05:09.042Z"})");
        EXPECT_EQ(eventJsonLine(event(c.card, PresenceKind::Removed, 7), {.seq = true}),
                  c.json + R"(,"event":"removed","time":"2026-03-01T13:05:09.042Z","seq":7})");
        EXPECT_EQ(eventTextLine(event(c.card)), local + " present " + c.text);
        // A removal names the card by its first field.
        EXPECT_EQ(eventTextLine(event(c.card, PresenceKind::Removed)),
                  local + " removed " + c.text.substr(0, c.text.find(' ')));
    }
    EXPECT_EQ(eventTextLine(event(classic()), UidForm::Dec10),
              local + " present dec10=0305419896 nfcid=12345678 atqa=0400 sak=08 type=Mifare "
                      "Classic 1K");
    EXPECT_EQ(eventTextLine(event(cases[1].card, PresenceKind::Removed), UidForm::W26),
              local + " removed w26=- nfcid=0102030405060708090A");
    const auto forms = eventJson(event(cases[1].card), {.forms = true})["forms"];
    EXPECT_EQ(forms.dump(), R"({"hex":"0102030405060708090A","hex-rev":"0A090807060504030201",)"
                            R"("dec":"0004759477275222530853130",)"
                            R"("dec-rev":"0047390263963055590408705",)"
                            R"("dec10":null,"dec10-rev":null,"dec8":null,"w26":null})");

    // Only the removal that ends a run carries its cause.
    PresenceTracker tracker(steadyClock());
    tracker.pass(classic());
    const auto closing = tracker.end(RemovalCause::Lost);
    ASSERT_TRUE(closing);
    EXPECT_FALSE(tracker.end(RemovalCause::Stopped));
    EventSequence ended;
    const EventRecord lost = ended.next(*closing, std::chrono::system_clock::time_point(kWhen));
    EXPECT_EQ(eventJsonLine(lost),
              cases[0].json +
                  R"(,"event":"removed","cause":"lost","time":"2026-03-01T13:05:09.042Z"})");
    EXPECT_EQ(eventTextLine(lost), local + " removed nfcid=12345678 cause=lost");
    // A log line reads back as the record it was written from (log export), cause and all.
    for (const EventRecord &written : {lost, event(cases[2].card, PresenceKind::Removed, 7)}) {
        const auto back =
            eventFromJson(nlohmann::ordered_json::parse(eventJsonLine(written, {.seq = true})));
        ASSERT_TRUE(back);
        EXPECT_EQ(eventJsonLine(*back, {.seq = true}), eventJsonLine(written, {.seq = true}));
    }

    EventSequence run;
    const EventRecord first = run.next({PresenceKind::Present, classic()},
                                       std::chrono::system_clock::time_point(kWhen + 999us));
    EXPECT_EQ(first, event(classic()));
    EXPECT_EQ(run.next({PresenceKind::Removed, classic()}).seq, 2u);
}

TEST(UidForms, GiveEachFormOrSayWhyNot)
{
    struct Case
    {
        std::string uid;
        std::vector<std::string> forms; // in kUidForms order; "" where the form cannot apply
    };
    const std::vector<Case> cases{
        {"12345678",
         {"12345678", "78563412", "0305419896", "2018915346", "0305419896", "2018915346",
          "03430008", "052,22136"}},
        // Leading zeros stay, in every form.
        {"00000001",
         {"00000001", "01000000", "0000000001", "0016777216", "0000000001", "0016777216",
          "00000001", "000,00001"}},
        // Seven and ten bytes are never cut to four or three.
        {"04A1B2C3D4E5F6",
         {"04A1B2C3D4E5F6", "F6E5D4C3B2A104", "01303689068602870", "69495546249912580", "", "", "",
          ""}},
        {"0102030405060708090A",
         {"0102030405060708090A", "0A090807060504030201", "0004759477275222530853130",
          "0047390263963055590408705", "", "", "", ""}},
        {"", {"", "", "", "", "", "", "", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.uid);
        const auto values = uidInEveryForm(hex(c.uid));
        ASSERT_EQ(values.size(), c.forms.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            SCOPED_TRACE(uidFormName(values[i].form));
            EXPECT_EQ(uidFormFromName(uidFormName(values[i].form)), values[i].form);
            EXPECT_EQ(values[i].value.value_or(""), c.forms[i]);
            EXPECT_EQ(values[i].reason.empty(), values[i].value.has_value());
        }
    }
    EXPECT_EQ(uidInForm(hex("04A1B2C3D4E5F6"), UidForm::Dec10).reason,
              "needs a 4-byte UID, not 7 bytes; hex and dec carry them all");
    EXPECT_EQ(uidFormFromName("DEC10-Rev"), UidForm::Dec10Rev);
    EXPECT_FALSE(uidFormFromName("dec9"));
}

TEST(CardLogFile, KeepsWholeLinesThroughRotationAndTornEnds)
{
    const EventRecord card = event(classic());
    const std::string line = eventJsonLine(card, {.seq = true}) + "\n";
    struct Case
    {
        std::string name;
        std::string before;                    // the file as a crash left it
        int writes;                            // events appended
        std::size_t maxLines;                  // lines a file may hold before it rotates
        std::vector<std::size_t> linesPerFile; // cards.jsonl, .1, .2, ...
        std::size_t warnings;                  // when cards.jsonl is read back
    };
    const std::vector<Case> cases{
        {"plain", "", 3, 10, {3}, 0},
        // Five files in all: the oldest ones go.
        {"rotation", "", 13, 2, {1, 2, 2, 2, 2}, 0},
        // A power cut left half a line: the next line starts on a line of its own.
        {"torn end", line + line.substr(0, 20), 1, 10, {2}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testing::PrivateDir dir;
        const std::string path = dir / "state/qn480/cards.jsonl";
        if (!c.before.empty()) {
            std::filesystem::create_directories(dir.path() / "state/qn480");
            std::ofstream(path, std::ios::binary) << c.before;
        }
        {
            CardLogFile log(path, {.maxBytes = c.maxLines * line.size(), .files = 5});
            for (int i = 0; i < c.writes; ++i)
                EXPECT_TRUE(log.append(card).ok());
        }
        for (std::size_t n = 0; n <= c.linesPerFile.size(); ++n) {
            const std::string file = n == 0 ? path : path + "." + std::to_string(n);
            if (n == c.linesPerFile.size()) {
                EXPECT_FALSE(std::filesystem::exists(file)) << file;
                break;
            }
            const CardLogContents read = readCardLog(file);
            EXPECT_EQ(read.events.size(), c.linesPerFile[n]) << file;
            EXPECT_EQ(read.warnings.size(), n == 0 ? c.warnings : 0) << file;
            for (const auto &object : read.events)
                EXPECT_EQ(object["nfcid"], "12345678");
        }
    }

    // A torn last line is skipped with a warning that names the file and line.
    testing::PrivateDir dir;
    std::ofstream(dir / "torn.jsonl", std::ios::binary) << line << line << "{\"interface\":\"1";
    const CardLogContents torn = readCardLog(dir / "torn.jsonl");
    EXPECT_EQ(torn.events.size(), 2u);
    ASSERT_EQ(torn.warnings.size(), 1u);
    EXPECT_EQ(torn.warnings[0], dir / "torn.jsonl" +
                                    ":3: the last line is cut off (a write that did not finish), "
                                    "skipped");

    // A log that cannot be written says so, every time, and names the file.
    CardLogFile blocked(dir / "torn.jsonl/cards.jsonl");
    const CardLogStatus status = blocked.append(card);
    EXPECT_FALSE(status.ok());
    EXPECT_NE(status.message.find("torn.jsonl/cards.jsonl"), std::string::npos) << status.message;
    EXPECT_FALSE(blocked.append(card).ok());
}

std::vector<std::uint64_t> seqsIn(const std::string &path)
{
    std::vector<std::uint64_t> seqs;
    const CardLogContents read = readCardLog(path);
    EXPECT_TRUE(read.warnings.empty()) << path;
    for (const auto &object : read.events)
        seqs.push_back(object["seq"]);
    return seqs;
}

TEST(CardLogFile, SharedByTwoWritersLosesNothingAndRotatesInTurn)
{
    testing::PrivateDir dir;
    const std::string path = dir / "cards.jsonl";
    const std::string line =
        eventJsonLine(event(classic(), PresenceKind::Present, 10), {.seq = true}) + "\n";
    {
        // Two runs take turns: each file holds four lines, in order, none lost.
        const CardLogLimits limits{.maxBytes = 4 * line.size(), .files = 3};
        CardLogFile a(path, limits);
        CardLogFile b(path, limits);
        for (std::uint64_t seq = 10; seq < 20; ++seq)
            EXPECT_TRUE(
                (seq % 2 ? a : b).append(event(classic(), PresenceKind::Present, seq)).ok());
    }
    std::vector<std::uint64_t> seqs;
    for (const std::string &file : {path + ".2", path + ".1", path}) {
        const auto more = seqsIn(file);
        EXPECT_LE(more.size(), 4u) << file;
        seqs.insert(seqs.end(), more.begin(), more.end());
    }
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));

    // A full disk cuts a line short: it is cut back to where it began, keeping the lines
    // another writer added since this one last wrote.
    const std::string shared = dir / "shared.jsonl";
    CardLogFile late(shared);
    CardLogFile other(shared);
    ASSERT_TRUE(late.append(event(classic(), PresenceKind::Present, 10)).ok());
    for (std::uint64_t seq = 11; seq < 20; ++seq)
        ASSERT_TRUE(other.append(event(classic(), PresenceKind::Present, seq)).ok());
    const auto sizeBefore = std::filesystem::file_size(shared);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit full = before;
    full.rlim_cur = sizeBefore + line.size() / 2;
    const auto xfsz = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &full);
    const CardLogStatus cut = late.append(event(classic(), PresenceKind::Present, 20));
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, xfsz);
    EXPECT_FALSE(cut.ok());
    EXPECT_EQ(std::filesystem::file_size(shared), sizeBefore);
    EXPECT_EQ(seqsIn(shared).size(), 10u);

    // A device is written, never rotated nor synced; a FIFO is refused without waiting for
    // a reader.
    CardLogFile null("/dev/null", {.maxBytes = 10, .files = 2});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(null.append(event(classic())).message, "");
    EXPECT_FALSE(std::filesystem::exists("/dev/null.1"));
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(cardLogRefusal(fifo), "is a FIFO");
    EXPECT_EQ(cardLogRefusal(path), "");
    EXPECT_EQ(CardLogFile(fifo).append(event(classic())).message,
              "card log " + fifo + ": is a FIFO, not a file");

    // The writer's queue overflows while another writer holds the file: the lines it could
    // not keep are counted, and told with the next line written; none goes unaccounted.
    const std::size_t linesBefore = seqsIn(path).size();
    const int holder = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    std::mutex mutex;
    std::vector<std::string> reports;
    {
        CardLogWriter writer(
            path,
            [&](const CardLogStatus &status) {
                std::lock_guard lock(mutex);
                reports.push_back(status.message);
            },
            {}, 1);
        for (std::uint64_t seq = 1; seq <= 5; ++seq)
            writer.append(event(classic(), PresenceKind::Present, seq));
        EXPECT_FALSE(writer.flushWithin(50ms));
        ::close(holder);
        writer.flush();
    }
    // Once, or once per count should the writer have woken between two appends.
    ASSERT_FALSE(reports.empty());
    std::size_t told = 0;
    for (const std::string &report : reports) {
        const std::string head = "card log " + path + ": ";
        EXPECT_TRUE(report.starts_with(head)) << report;
        EXPECT_TRUE(report.ends_with(" events not logged: the disk did not keep up")) << report;
        told += std::stoul(report.substr(head.size()));
    }
    EXPECT_EQ(seqsIn(path).size() - linesBefore + told, 5u);
}

TEST(Csv, QuotesNeutralisesFormulasAndKeepsUtf8)
{
    struct Case
    {
        std::string cell;
        std::string field;
    };
    const std::vector<Case> cases{
        {"12345678", "12345678"},
        {"", ""},
        {"a,b", R"("a,b")"},
        {R"(say "hi")", R"("say ""hi""")"},
        {"two\r\nlines", "\"two\r\nlines\""},
        {"=HYPERLINK(\"x\")", R"~("'=HYPERLINK(""x"")")~"},
        {"+1", "'+1"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\tx"},
        {"a=b", "a=b"},
        {"Ünïcödé ✓", "Ünïcödé ✓"},
        {"bad \xFF byte", "bad \xEF\xBF\xBD byte"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(csvField(c.cell), c.field) << c.cell;

    const std::vector<EventRecord> events{
        event(classic()),
        event(FelicaCard{0x00, 0x01, hex("0102030405060708"), hex("1112131415161718")},
              PresenceKind::Removed),
    };
    const std::string csv = eventsCsv(events);
    const std::string time = traceTimestamp(kWhen, TimestampForm::LocalIso);
    EXPECT_EQ(csv, "Time,Event,Interface,UID (air order),ATQA,SAK,Card type,ATS,Application "
                   "data,Protocol info,PMm,Slot,Sub-response,DSFID,UID (MSB first)\r\n" +
                       time + ",present,14a,12345678,0400,08,Mifare Classic 1K,,,,,,,,\r\n" + time +
                       ",removed,felica,0102030405060708,,,,,,,1112131415161718,00,01,,\r\n");
    EXPECT_EQ(time.substr(0, 23), "2026-03-01T" + traceTimestamp(kWhen).substr(11));
}

TEST(ActionRunner, RunsEachCardsActionInOrderWithTheCardOnlyInItsEnvironment)
{
    using Kind = ActionOutcome::Kind;
    // Shell text where a card's text goes: none of it may run.
    const std::string hostile = "$(touch pwned) `touch pwned`; touch pwned '\" \\";
    TypeACard odd = classic();
    odd.type = hostile;
    struct Case
    {
        std::string name;
        std::string command; // run in the case's folder
        std::vector<Card> cards;
        std::string output; // what the actions wrote to out.txt
        std::vector<Kind> outcomes;
        std::chrono::milliseconds timeout = 10s;
    };
    const std::vector<Case> cases{
        {"order and fields",
         R"(printf '%s %s %s %s %s\n' "$QN480_EVENT" "$QN480_INTERFACE" "$QN480_UID" )"
         R"("$QN480_NFCID" "$QN480_TIME" >> out.txt)",
         {classic(), TypeBCard{hex("1A2B3C4D"), {}, {}}, Iso15693Card{0, hex("1122334455667788")}},
         "present 14a 0305419896 12345678 2026-03-01T13:05:09.042Z\n"
         "present 14b 0439041101 1A2B3C4D 2026-03-01T13:05:09.042Z\n"
         "present 15693  1122334455667788 2026-03-01T13:05:09.042Z\n",
         {}},
        {"hostile text",
         R"(printf '%s\n' "$QN480_TYPE" > out.txt; test ! -e pwned)",
         {odd},
         hostile + "\n",
         {}},
        // The action's stdout goes where it is told (our stderr), never to our stdout.
        {"output and failure", "echo said; exit 3", {classic()}, "said\n", {Kind::Failed}},
        // Only its standard descriptors (and the folder ls reads): nothing of ours, such as
        // the output file this test opened without close-on-exec.
        {"descriptors", "ls /proc/self/fd", {classic()}, "0\n1\n2\n3\n", {}},
        // Past its time-out, the whole group is killed, also what is deaf to SIGTERM after the
        // shell has gone; the next action still runs, and finds it dead.
        {"group",
         "if [ -s pid ]; then s=$(cut -d' ' -f3 /proc/$(cat pid)/stat 2>/dev/null); "
         "case \"$s\" in ''|Z) echo gone;; *) echo \"$s\";; esac; "
         "else (trap '' TERM; exec sleep 30) & echo $! > pid; wait; fi",
         {classic(), classic()},
         "gone\n",
         {Kind::TimedOut},
         500ms}, // room for a loaded machine to start the shell
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        testing::PrivateDir dir;
        const int output = ::open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ASSERT_GE(output, 0);
        std::mutex mutex;
        std::vector<Kind> outcomes;
        const auto started = std::chrono::steady_clock::now();
        {
            ActionRunner runner({.onPresent = "cd '" + dir.path().string() + "' && " + c.command,
                                 .timeout = c.timeout,
                                 .killAfter = 100ms,
                                 .uidForm = UidForm::Dec10,
                                 .outputFd = output},
                                [&](const ActionOutcome &outcome) {
                                    std::lock_guard lock(mutex);
                                    outcomes.push_back(outcome.kind);
                                });
            EXPECT_FALSE(runner.wants(PresenceKind::Removed));
            for (const Card &card : c.cards)
                runner.post(event(card));
            runner.post(event(classic(), PresenceKind::Removed)); // no action: nothing runs
        }
        ::close(output);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(dir.text("out.txt"), c.output);
        EXPECT_EQ(outcomes, c.outcomes);
        EXPECT_FALSE(std::filesystem::exists(dir / "pwned"));
    }

    // The record whole, as JSON.
    const auto environment = actionEnvironment(event(odd));
    EXPECT_EQ(environment.back(),
              "QN480_JSON=" + eventJsonLine(event(odd), {.seq = true, .forms = true}));

    // A full queue drops and counts; a second stop ends the running action and the queue.
    std::atomic<int> dropReports{0};
    ActionRunner busy({.onPresent = "sleep 30", .queueLimit = 1},
                      [&](const ActionOutcome &outcome) {
                          if (outcome.kind == Kind::Dropped)
                              ++dropReports;
                      });
    for (int i = 0; i < 4; ++i)
        busy.post(event(classic()));
    EXPECT_GE(busy.dropped(), 2u);
    EXPECT_EQ(std::uint64_t(dropReports), busy.dropped());
    const auto stopping = std::chrono::steady_clock::now();
    busy.abandon();
    busy.finish();
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 5s);
}

TEST(ErrorLines, LinesFromManyThreadsNeverInterleave)
{
    // Each line goes out in pieces from its thread, as `err << a << b << std::endl` does.
    testing::PrivateDir dir;
    const int file = ::open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                std::ostream err(&errorLineBuffer());
                for (int i = 0; i < 200; ++i)
                    err << "thread " << t << " says " << std::string(50, char('a' + t))
                        << std::endl;
            });
        }
    }
    writeErrorLine("done");
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(file);
    std::istringstream lines(dir.text("err.txt"));
    int count = 0;
    for (std::string line; std::getline(lines, line) && line != "done"; ++count) {
        const char t = line.size() > 7 ? line[7] : '?';
        EXPECT_EQ(line,
                  "thread " + std::string(1, t) + " says " + std::string(50, char('a' + t - '0')));
    }
    EXPECT_EQ(count, 800);
}

TEST(EventBuffer, KeepsTheNewestAndCountsTheDropped)
{
    EventBuffer buffer(3);
    for (std::uint64_t seq = 1; seq <= 5; ++seq)
        EXPECT_EQ(buffer.push(event(classic(), PresenceKind::Present, seq)), seq > 3);
    EXPECT_EQ(buffer.size(), 3u);
    EXPECT_EQ(buffer.dropped(), 2u);
    EXPECT_EQ(buffer.at(0).seq, 3u);
    EXPECT_EQ(buffer.at(2).seq, 5u);
    buffer.clear();
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.dropped(), 0u);
}

} // namespace
} // namespace qn480
