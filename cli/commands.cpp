// SPDX-License-Identifier: GPL-3.0-or-later
#include "commands.h"

#include "json.h"
#include "keypad.h"
#include "keypad_names.h"
#include "keypad_profile.h"
#include "keypad_state.h"
#include "link.h"
#include "poll_view.h"
#include "procedures.h"
#include "process_guard.h"
#include "reader_commands.h"
#include "status_text.h"
#include "text_util.h"
#include "trace.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <utility>

namespace qn480::cli {

namespace {

constexpr std::uint8_t kEnterFlag = 0x80;
constexpr std::string_view kProgram = "qn480ctl: ";

constexpr std::array kSettingOrder{KeypadSetting::Mode,     KeypadSetting::Type,
                                   KeypadSetting::AddType,  KeypadSetting::SendTime,
                                   KeypadSetting::ScanTime, KeypadSetting::SameTime};

// A reply that was not usable: silence or a garbled frame, or the reader's own refusal.
int failureCode(const Response &response)
{
    return response.DataLength < 0 ? kExitNoAnswer : kExitReaderError;
}

// No answer weighs more than a refusal: it usually means the wrong port or a dead reader.
int worse(int a, int b)
{
    const auto rank = [](int code) {
        return code == kExitNoAnswer ? 2 : code == kExitSuccess ? 0 : 1;
    };
    return rank(a) >= rank(b) ? a : b;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool endsWith(const std::string &text, std::string_view tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// " " followed by the reader's message for some status.
bool isReaderMessage(const std::string &text)
{
    if (text.size() < 2 || text[0] != ' ')
        return false;
    for (int status = 0; status <= 0xFF; ++status) {
        const std::string_view message = StatusText(static_cast<std::uint8_t>(status));
        if (!message.empty() && text.compare(1, std::string::npos, message) == 0)
            return true;
    }
    return false;
}

// A stop signal ends a keypad command before its next transaction: what went out stays
// sent, nothing more goes, and nothing is reported.
struct Stopped
{};
// The reader went away: nothing more can be sent, and what was read is not to be reported.
struct Lost
{};

// What runs in the link's wait and after every command: the only "window message" the
// tool has is a stop request from a signal.
class Runner
{
public:
    Runner(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
        : m_options(options)
        , m_link(link)
        , m_io(io)
        , m_stop(stop)
        , m_plugged(io.plugged)
    {
        if (!m_io.now)
            m_io.now = [] {
                return std::chrono::system_clock::now();
            };
        m_link.setLossHandler([this] { m_lost = true; });
        m_link.setTrace([this](TraceDirection direction, std::span<const std::uint8_t> frame) {
            m_answered = m_answered || direction == TraceDirection::Response;
            if (m_options.trace) {
                // One write per line, so that it stays whole next to other output.
                m_io.err << traceLine(direction, frame, m_io.now()) + "\n" << std::flush;
            }
        });
    }
    ~Runner()
    {
        m_link.setTrace({});
        m_link.setPump({});
        m_link.setLossHandler({});
    }
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    // The command; with --wait, again from the start each time the reader comes back after
    // it went away (a poll keeps what it has reported).
    int run()
    {
        bool toldSilent = false;
        for (;;) {
            try {
                m_answered = false;
                const int code = runOnce();
                if (m_lost && m_options.command == Command::Poll) {
                    // A poll ends on its own when the reader goes away.
                    if (const auto end = afterLoss())
                        return *end;
                    continue;
                }
                if (!stillStarting(code))
                    return code;
                // A reader just plugged in may take a moment before it answers; the port is
                // opened afresh, since its node may still change.
                if (!toldSilent) {
                    m_io.err << kProgram << "the reader on " << deviceName()
                             << " does not answer yet; trying again (--wait)" << std::endl;
                    toldSilent = true;
                }
                if (!m_io.reconnect(m_link))
                    return m_stop != 0 ? kExitSuccess : kExitPortFailed;
            } catch (const Lost &) {
                if (const auto end = afterLoss())
                    return *end;
            }
        }
    }

    // The reader went away: told, and with --wait waited for; the exit code when the
    // command ends there.
    std::optional<int> afterLoss()
    {
        m_io.err << kProgram << "the reader on " << deviceName()
                 << " was disconnected (unplugged or hung up)" << std::endl;
        tellUnfinishedWrites();
        if (!m_io.reconnect)
            return kExitPortFailed;
        if (!m_io.reconnect(m_link))
            return m_stop != 0 ? kExitSuccess : kExitPortFailed;
        m_lost = false;
        m_plugged = true;
        return std::nullopt;
    }

private:
    std::string deviceName() const
    {
        return escapedText(m_io.device.empty() ? "its port" : m_io.device);
    }

    // A poll on a reader that has just come (--wait) whose start got no answer at all: the
    // reader is still starting, not absent.
    bool stillStarting(int code) const
    {
        const bool timedOut = m_pollDeadline && m_link.clock().now() >= *m_pollDeadline;
        return code == kExitNoAnswer && m_options.command == Command::Poll && m_io.reconnect &&
               m_plugged && !m_answered && m_stop == 0 && !timedOut;
    }

    int runOnce()
    {
        m_planned.clear();
        m_written.clear();
        m_inDoubt.reset();
        m_finishWrites = false;
        switch (m_options.command) {
        case Command::Poll:
            return poll();
        case Command::KeypadGet:
            return keypadGet();
        case Command::KeypadSet:
            return keypadSet();
        case Command::KeypadDefaults:
            return keypadDefaults();
        case Command::KeypadSave:
            return keypadSave();
        case Command::KeypadLoad:
            return keypadLoad();
        case Command::Raw:
            return raw();
        case Command::Help:
        case Command::Version:
        case Command::Ports:
            break;
        }
        return kExitUsage;
    }

    // ---- poll ----

    int poll()
    {
        constexpr std::array kProcedures{
            std::pair{AirInterface::Iso14443A, CardProcedure::Iso14443A},
            std::pair{AirInterface::Iso14443B, CardProcedure::Iso14443B},
            std::pair{AirInterface::Felica, CardProcedure::Felica},
            std::pair{AirInterface::Iso15693, CardProcedure::Iso15693}};
        const CardProcedure procedure =
            std::find_if(kProcedures.begin(), kProcedures.end(), [&](const auto &p) {
                return p.first == m_options.air;
            })->second;

        // One view for the whole command, so that a reader plugged in again (--wait) does
        // not count or announce again the card it had reported.
        if (!m_pollView) {
            m_pollView.emplace(PollView::Setup{m_options.air, m_options.json, m_options.quiet},
                               m_io.out, m_io.err, m_link.clock(), m_io.now);
            if (m_options.timeout)
                m_pollDeadline = m_link.clock().now() + *m_options.timeout;
        }
        PollView &view = *m_pollView;
        StopToken stop;
        view.setOnCard([&] {
            // A reader of our output that went away is as good as Stop.
            if ((m_options.count > 0 && view.cardsReported() >= m_options.count) || !m_io.out)
                stop.requestStop();
        });
        const auto deadline = m_pollDeadline;
        bool timedOut = false;
        m_link.setPump([&] {
            if (deadline && !stop.stopRequested() && m_link.clock().now() >= *deadline) {
                timedOut = true;
                stop.requestStop();
            }
            if (m_stop || outputGone() || m_lost)
                stop.requestStop();
        });
        runCardProcedure(procedure, m_link, stop, view);
        m_link.setPump({});
        if (m_lost)
            return kExitPortFailed; // run() takes it from here

        if (view.runEnd() != RunEnd::Stopped) {
            if (m_options.quiet && !view.lastMessage().empty())
                m_io.err << kProgram << view.lastMessage() << std::endl;
            return failureCode(m_link.LastResponse());
        }
        const bool enough = m_options.count > 0 ? view.cardsReported() >= m_options.count
                                                : view.cardsReported() > 0;
        if (timedOut && !enough) {
            m_io.err << kProgram << "no " << (view.cardsReported() > 0 ? "further " : "")
                     << "card within the time-out" << std::endl;
            return kExitNoAnswer;
        }
        return kExitSuccess;
    }

    bool outputGone() const
    {
        if (m_io.outFd < 0)
            return false;
        return readerGone(m_io.outFd);
    }

    // ---- keypad ----

    struct Outcome
    {
        int code = kExitSuccess;
        std::string message;
    };

    // Follows the keypad's status line: every operation shows a progress message, then
    // one ending in "OK!!" when its reply was accepted, else the reader's message or one of
    // its own ending in "Error!!". LastResponse is still the operation's own then.
    void followOutcomes(KeypadState &state)
    {
        m_state = &state;
        m_inOperation = false;
        state.setStatusHook([this](const std::string &text) {
            // Every operation shows a message before its transaction and after it. A
            // sequence of Sets runs to its end: the stop is taken after it.
            if (m_stop != 0 && !m_finishWrites)
                throw Stopped{};
            if (m_lost)
                throw Lost{};
            const bool ok = endsWith(text, "OK!!");
            const bool outcome = ok || endsWith(text, "Error!!") || isReaderMessage(text);
            // Only a message that follows an operation's progress message is its outcome:
            // a page that closes by showing its first failure again reports nothing new.
            if (outcome && m_inOperation) {
                m_outcomes.push_back(
                    {ok ? kExitSuccess : failureCode(m_link.LastResponse()), trimmed(text)});
            }
            m_inOperation = !outcome && !trimmed(text).empty();
        });
    }

    // One keypad operation; a failure is told on stderr.
    template <typename Action>
    Outcome outcomeOf(KeypadSetting setting, bool set, const Action &action)
    {
        m_outcomes.clear();
        action();
        Outcome outcome = m_outcomes.size() == 1 ? m_outcomes.front()
                                                 : Outcome{kExitReaderError, "no outcome reported"};
        if (outcome.code != kExitSuccess) {
            m_io.err << kProgram << (set ? "set " : "get ") << settingName(setting) << ": "
                     << outcome.message << std::endl;
        }
        return outcome;
    }

    // One Get or Set as the page does it. The page shows a format code without a radio
    // button as 8H; the reader's own bytes are kept beside the controls.
    Outcome operate(Keypad &keypad, KeypadSetting setting, bool set)
    {
        const Outcome outcome =
            outcomeOf(setting, set, [&] { set ? keypad.set(setting) : keypad.get(setting); });
        if (!set) {
            const Response &r = m_link.LastResponse();
            m_readBytes[static_cast<std::size_t>(setting)] =
                outcome.code == kExitSuccess
                    ? std::vector<std::uint8_t>(r.Data.begin(),
                                                r.Data.begin() +
                                                    std::clamp(r.DataLength, 0, kFrameBufferSize))
                    : std::vector<std::uint8_t>();
        }
        if (!set && setting == KeypadSetting::AddType) {
            const Response &r = m_link.LastResponse();
            m_state->setAddTypeBytes(
                outcome.code == kExitSuccess
                    ? std::optional(AddTypeBytes{r.Data[0], r.Data[1], r.Data[2]})
                    : std::nullopt);
        }
        return outcome;
    }

    // Reads all six settings into `state`; returns the exit code and fills `errors`.
    int readAll(Keypad &keypad, KeypadErrors &errors)
    {
        int code = kExitSuccess;
        for (KeypadSetting setting : kSettingOrder) {
            const Outcome outcome = operate(keypad, setting, false);
            errors[static_cast<std::size_t>(setting)] =
                outcome.code == kExitSuccess ? std::string() : outcome.message;
            code = worse(code, outcome.code);
        }
        return code;
    }

    void report(const KeypadState &state, const KeypadErrors &errors)
    {
        m_io.out << keypadReport(state, errors, m_options.json) << std::endl;
    }

    int keypadGet()
    {
        KeypadState state;
        followOutcomes(state);
        Keypad keypad(m_link, state);
        KeypadErrors errors;
        const int code = readAll(keypad, errors);
        report(state, errors);
        return code;
    }

    static void applyBits(KeypadState &state, std::span<const BoxBit> bits, std::uint8_t byte)
    {
        for (const BoxBit &b : bits)
            state.setChecked(b.box, (byte & b.mask) != 0);
    }

    // The changes other than the output format, into the controls the page sends from.
    static void applyChanges(KeypadState &state, const KeypadChanges &c)
    {
        if (c.mode)
            applyBits(state, kModeBits, *c.mode);
        if (c.types)
            applyBits(state, kTypeBits, *c.types);
        const std::array timings{std::pair(KeypadTiming::SendTime, c.sendTime),
                                 std::pair(KeypadTiming::ScanTime, c.scanTime),
                                 std::pair(KeypadTiming::SameTime, c.sameTime)};
        for (const auto &[timing, value] : timings) {
            if (value)
                state.setPosition(timing, *value);
        }
    }

    static bool given(const KeypadChanges &c, KeypadSetting setting)
    {
        switch (setting) {
        case KeypadSetting::Mode:
            return c.mode.has_value();
        case KeypadSetting::Type:
            return c.types.has_value();
        case KeypadSetting::AddType:
            return c.touchesAddType();
        case KeypadSetting::SendTime:
            return c.sendTime.has_value();
        case KeypadSetting::ScanTime:
            return c.scanTime.has_value();
        case KeypadSetting::SameTime:
            return c.sameTime.has_value();
        }
        return false;
    }

    static std::string namesOf(const std::vector<KeypadSetting> &settings)
    {
        std::string names;
        for (KeypadSetting setting : settings)
            names += (names.empty() ? "" : ", ") + std::string(settingName(setting));
        return names.empty() ? "none" : names;
    }

    // After a lost reader: what a write sequence had changed on it and what not.
    void tellUnfinishedWrites()
    {
        if (m_planned.empty())
            return;
        std::vector<KeypadSetting> notWritten;
        for (KeypadSetting setting : m_planned) {
            if (std::find(m_written.begin(), m_written.end(), setting) == m_written.end() &&
                setting != m_inDoubt)
                notWritten.push_back(setting);
        }
        m_io.err << kProgram << "written before the reader was lost: " << namesOf(m_written)
                 << (m_inDoubt
                         ? "; perhaps written (no answer): " + std::string(settingName(*m_inDoubt))
                         : std::string())
                 << "; not written: " << namesOf(notWritten) << std::endl;
    }

    // Sends what `changes` gives, reads all six back and tells, on stderr and in the exit
    // code, of every setting the reader did not keep. `allOrNothing` (a profile): the
    // reader's settings are read first, the Sets stop at the first one refused, and those
    // already changed are written back.
    int sendChanges(const KeypadChanges &changes, bool allOrNothing)
    {
        KeypadState state;
        followOutcomes(state);
        Keypad keypad(m_link, state);

        if (allOrNothing) {
            KeypadErrors errors;
            const int read = readAll(keypad, errors);
            if (read != kExitSuccess) {
                m_io.err << kProgram << "nothing sent: the reader's settings must be read first, "
                         << "to be written back if a Set is refused" << std::endl;
                return read;
            }
        }
        const auto before = m_readBytes;

        // The output format is one command of three parts: a part not given keeps the
        // reader's own byte, which only a Get can tell. Sending a guess would change it.
        AddTypeBytes addType{};
        if (changes.touchesAddType()) {
            if (!changes.completeAddType()) {
                if (!allOrNothing) {
                    const Outcome outcome = operate(keypad, KeypadSetting::AddType, false);
                    if (outcome.code != kExitSuccess) {
                        m_io.err << kProgram << "nothing sent: the output format must be read "
                                 << "before part of it can be changed" << std::endl;
                        return outcome.code;
                    }
                }
                addType = *state.addTypeBytes();
            }
            addType[0] = changes.format.value_or(addType[0]);
            addType[1] = changes.reverse.value_or(addType[1]);
            if (changes.add) // the window never sends an empty flags byte; a profile may
                addType[2] = *changes.add == 0 && !changes.exact ? kEnterFlag : *changes.add;
        }
        applyChanges(state, changes);

        for (KeypadSetting setting : kSettingOrder) {
            if (given(changes, setting))
                m_planned.push_back(setting);
        }
        m_finishWrites = true;
        int code = kExitSuccess;
        std::optional<KeypadSetting> refused;
        std::array<std::optional<std::string>, 6> sent;
        for (KeypadSetting setting : m_planned) {
            if (refused)
                break;
            m_inDoubt = setting; // until its answer is in
            const bool format = setting == KeypadSetting::AddType;
            // The page can only send what its controls show, and a format code without a
            // radio button is not among them: the reader's own bytes go out as they are.
            const Outcome outcome =
                format ? outcomeOf(setting, true, [&] { keypad.send(setting, addType); })
                       : operate(keypad, setting, true);
            code = worse(code, outcome.code);
            // A Set normalises the controls as the page does; this is what went out.
            if (outcome.code == kExitSuccess) {
                m_written.push_back(setting);
                sent[static_cast<std::size_t>(setting)] =
                    format ? addTypeText(addType) : settingText(state, setting);
            } else if (allOrNothing) {
                refused = setting;
                // Without an answer the reader may have taken it: it is written back too.
                if (outcome.code == kExitNoAnswer)
                    m_written.push_back(setting);
            }
            m_inDoubt.reset();
        }
        std::vector<KeypadSetting> restored;
        std::vector<KeypadSetting> notRestored;
        if (refused) {
            // Back to what the reader held, so that a profile is loaded whole or not at all.
            for (KeypadSetting setting : std::vector(m_written)) {
                const auto &bytes = before[static_cast<std::size_t>(setting)];
                m_inDoubt = setting;
                const Outcome outcome =
                    outcomeOf(setting, true, [&] { keypad.send(setting, bytes); });
                m_inDoubt.reset();
                if (outcome.code == kExitSuccess) {
                    std::erase(m_written, setting);
                    restored.push_back(setting);
                } else {
                    notRestored.push_back(setting);
                }
            }
            sent.fill(std::nullopt);
        }
        m_finishWrites = false;
        if (m_stop != 0)
            throw Stopped{};
        m_planned.clear();

        KeypadErrors errors;
        code = worse(code, readAll(keypad, errors));
        for (KeypadSetting setting : kSettingOrder) {
            const auto i = static_cast<std::size_t>(setting);
            if (!sent[i] || !errors[i].empty())
                continue;
            const std::string kept = setting == KeypadSetting::AddType
                                         ? addTypeText(*state.addTypeBytes())
                                         : settingText(state, setting);
            const bool same = setting == KeypadSetting::AddType ? *state.addTypeBytes() == addType
                                                                : kept == *sent[i];
            if (!same) {
                m_io.err << kProgram << "the reader kept " << settingName(setting) << " " << kept
                         << " after " << *sent[i] << " was sent" << std::endl;
                code = worse(code, kExitReaderError);
            }
        }
        if (refused) {
            m_io.err << kProgram << "profile not loaded: the Set of " << settingName(*refused)
                     << " failed; ";
            if (!notRestored.empty()) {
                m_io.err << "the reader keeps the profile's " << namesOf(notRestored)
                         << " (writing back failed) and its earlier settings otherwise";
            } else if (!restored.empty()) {
                m_io.err << "the reader holds its earlier settings again (written back: "
                         << namesOf(restored) << ")";
            } else {
                m_io.err << "nothing was changed";
            }
            m_io.err << std::endl;
        }
        report(state, errors);
        return code;
    }

    int keypadSet() { return sendChanges(m_options.changes, false); }

    int keypadLoad()
    {
        // Read once: a reader plugged in again (--wait) gets the same profile, even from a
        // pipe that has been read to its end.
        if (!m_profile)
            m_profile = m_io.profile;
        if (!m_profile) {
            const ProfileFile read = readProfile(m_options.profile, {m_stop, m_io.stopFd});
            if (read.stopped)
                throw Stopped{};
            if (read.code != kExitSuccess) {
                m_io.err << kProgram << escapedText(read.message) << std::endl;
                return read.code;
            }
            m_profile = read.changes;
        }
        return sendChanges(*m_profile, true);
    }

    int keypadSave()
    {
        KeypadState state;
        followOutcomes(state);
        Keypad keypad(m_link, state);
        KeypadErrors errors;
        const int code = readAll(keypad, errors);
        if (code != kExitSuccess) {
            m_io.err << kProgram << "nothing saved: not every setting could be read" << std::endl;
            return code;
        }
        const std::string profile = profileText(keypadReport(state, errors, true));
        const std::string &path = m_options.profile;
        if (path == "-") {
            m_io.out << profile << std::flush;
            return kExitSuccess;
        }
        const ProfileFile written = writeProfile(path, profile, {m_stop, m_io.stopFd});
        if (written.stopped)
            throw Stopped{};
        if (written.code != kExitSuccess) {
            m_io.err << kProgram << escapedText(written.message) << std::endl;
            return written.code;
        }
        if (!m_options.quiet)
            m_io.err << kProgram << "saved the six settings to " << escapedText(path) << std::endl;
        return kExitSuccess;
    }

    int keypadDefaults()
    {
        KeypadState state;
        m_outcomes.clear();
        followOutcomes(state);
        Keypad keypad(m_link, state);
        // Six Sets, then six Gets, in the page's order; the Sets are not cut short by a stop.
        const std::size_t count = kSettingOrder.size();
        m_planned.assign(kSettingOrder.begin(), kSettingOrder.end());
        m_finishWrites = true;
        try {
            keypad.restoreDefaults();
        } catch (const Lost &) {
            for (std::size_t i = 0; i < std::min(count, m_outcomes.size()); ++i) {
                if (m_outcomes[i].code == kExitSuccess)
                    m_written.push_back(kSettingOrder[i]);
            }
            // The Set that was going out when the reader went.
            if (m_outcomes.size() < count)
                m_inDoubt = kSettingOrder[m_outcomes.size()];
            throw;
        }
        m_finishWrites = false;
        if (m_stop != 0)
            throw Stopped{};
        m_planned.clear();

        KeypadErrors errors;
        int code = kExitSuccess;
        if (m_outcomes.size() != 2 * count) {
            m_io.err << kProgram << "the defaults reported " << m_outcomes.size()
                     << " outcomes instead of " << 2 * count << std::endl;
            errors.fill("not confirmed");
            code = kExitReaderError;
            m_outcomes.resize(2 * count, {kExitReaderError, "not confirmed"});
        }
        for (std::size_t i = 0; i < 2 * count; ++i) {
            const Outcome &outcome = m_outcomes[i];
            const KeypadSetting setting = kSettingOrder[i % count];
            code = worse(code, outcome.code);
            if (outcome.code == kExitSuccess)
                continue;
            m_io.err << kProgram << (i < count ? "set " : "get ") << settingName(setting) << ": "
                     << outcome.message << std::endl;
            if (i >= count)
                errors[static_cast<std::size_t>(setting)] = outcome.message;
        }
        report(state, errors);
        return code;
    }

    // ---- raw ----

    int raw()
    {
        const Reply reply = m_link.transact(m_options.group, m_options.code, m_options.data);
        if (m_stop != 0)
            throw Stopped{};
        if (reply.result == TransactionResult::DeviceLost)
            throw Lost{};
        const Response &r = reply.response;
        const std::string_view result = reply.result == TransactionResult::Frame     ? "frame"
                                        : reply.result == TransactionResult::TimeOut ? "time-out"
                                        : reply.result == TransactionResult::BadChecksum
                                            ? "bad checksum"
                                            : "no port";
        const auto data = std::span(r.Data).first(
            static_cast<std::size_t>(std::clamp(r.DataLength, 0, kFrameBufferSize)));
        const std::string_view statusText = StatusText(r.Status);
        if (m_options.json) {
            m_io.out << JsonObject()
                            .text("result", result)
                            .number("status", r.Status)
                            .text("status_text", statusText)
                            .number("data_length", r.DataLength)
                            .text("data", hexText(data, ""))
                            .str()
                     << std::endl;
        } else {
            const std::array<std::uint8_t, 1> status{r.Status};
            m_io.out << "result: " << result << "\n"
                     << "status: " << hexText(status, "") << (statusText.empty() ? "" : " ")
                     << statusText << "\n"
                     << "data: "
                     << (r.DataLength < 0 ? std::string("none (no valid frame)")
                         : data.empty()   ? std::string("none")
                                          : hexText(data, " "))
                     << std::endl;
        }
        if (r.DataLength < 0)
            return kExitNoAnswer;
        // A good frame followed by a broken one: the good one is shown, but the exchange
        // did not end well, and a script must not take it for success.
        if (reply.result == TransactionResult::BadChecksum)
            return kExitReaderError;
        return r.Status == 1 ? kExitSuccess : kExitReaderError;
    }

    const Options &m_options;
    Link &m_link;
    Io m_io;
    const volatile std::sig_atomic_t &m_stop;
    bool m_lost = false;
    bool m_plugged;          // the reader came during this command: it may still be starting
    bool m_answered = false; // a frame came back since the command (re)started
    std::optional<PollView> m_pollView;
    std::optional<std::chrono::nanoseconds> m_pollDeadline;
    KeypadState *m_state = nullptr; // the keypad's controls while a keypad command runs
    bool m_inOperation = false;     // a progress message was shown, its outcome not yet
    std::vector<Outcome> m_outcomes;
    // The reply bytes of each setting's last Get; empty when it failed.
    std::array<std::vector<std::uint8_t>, 6> m_readBytes;
    // A write sequence: the settings it is to Set, and those the reader now holds as set.
    std::vector<KeypadSetting> m_planned;
    std::vector<KeypadSetting> m_written;
    std::optional<KeypadSetting> m_inDoubt; // a Set sent whose answer is not in
    bool m_finishWrites = false;            // a stop waits until the Sets are done
    std::optional<KeypadChanges> m_profile; // keypad load's, read once
};

} // namespace

int runCommand(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
{
    Runner runner(options, link, io, stop);
    try {
        return runner.run();
    } catch (const Stopped &) {
        return 128 + stop;
    }
}

int listPortsCommand(const std::vector<PortEntry> &ports, bool json, Io io, const PortProbe &probe)
{
    for (const PortEntry &port : ports) {
        // A stop signal ends the scan between two ports; each is given back at once.
        std::optional<Probe> probed;
        if (probe && stopSignal() == 0)
            probed = probe(port);
        if (probed && !probed->reader) {
            io.err << kProgram << escapedText(port.name)
                   << " not probed: " << escapedText(probed->reason) << std::endl;
        }
        if (json) {
            JsonObject line;
            line.text("name", port.name)
                .number("number", port.number)
                .text("device", port.device)
                .text("description", port.description);
            if (probed && probed->reader)
                line.json("reader", *probed->reader ? "true" : "false");
            else if (probe)
                line.null("reader");
            io.out << line.str();
        } else {
            // A path may hold anything; a newline in it must not forge a line.
            io.out << escapedText(port.name) << '\t' << escapedText(port.device) << '\t'
                   << escapedText(port.description);
            if (probe) {
                io.out << '\t'
                       << (!probed || !probed->reader ? "not probed"
                           : *probed->reader          ? "reader"
                                                      : "no reader");
            }
        }
        io.out << '\n';
    }
    io.out.flush();
    if (ports.empty())
        io.err << kProgram << "no serial ports found" << std::endl;
    return kExitSuccess;
}

} // namespace qn480::cli
