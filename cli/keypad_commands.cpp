// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_commands.h"

#include "process_guard.h"
#include "text_util.h"

#include <algorithm>
#include <span>

namespace qn480::cli {

namespace {

std::string_view keyOf(KeypadSetting setting)
{
    return settingInfo(setting).key;
}

int codeOf(const KeypadOutcome &outcome)
{
    return outcome.accepted ? kExitSuccess : failureCode(outcome.dataLength);
}

// No answer weighs more than a refusal: it usually means the wrong port or a dead reader.
int worse(int a, int b)
{
    const auto rank = [](int code) {
        return code == kExitNoAnswer ? 2 : code == kExitSuccess ? 0 : 1;
    };
    return rank(a) >= rank(b) ? a : b;
}

int worstCode(std::span<const KeypadOutcome> outcomes)
{
    int code = kExitSuccess;
    for (const KeypadOutcome &outcome : outcomes)
        code = worse(code, codeOf(outcome));
    return code;
}

// An operation that did not run to its end: at a stop signal, or with the reader gone.
Ended endedBy(KeypadEnd end)
{
    return end == KeypadEnd::Stopped ? Ended::stopped() : Ended::lost();
}

} // namespace

int failureCode(int dataLength)
{
    return dataLength < 0 ? kExitNoAnswer : kExitReaderError;
}

int profileExit(ProfileFault fault)
{
    constexpr int kExitWriteFailed = 1; // as any other failed output
    return fault == ProfileFault::Refused       ? kExitUsage
           : fault == ProfileFault::WriteFailed ? kExitWriteFailed
                                                : kExitSuccess;
}

std::optional<KeypadPatch> loadProfile(const Options &options, std::ostream &err, int stopFd,
                                       int &code)
{
    const ProfileFile read = readProfile(options.profile, {stopSignal(), stopFd});
    code = profileExit(read.fault);
    if (read.fault != ProfileFault::None)
        err << kProgram << escapedText(read.message) << std::endl;
    if (read.stopped || read.fault != ProfileFault::None)
        return std::nullopt;
    return read.patch;
}

KeypadCommands::KeypadCommands(Context context)
    : m_context(std::move(context))
    , m_keypad(m_context.link, this)
{
    m_keypad.setStopRequest([this] { return m_context.stop != 0; });
}

Ended KeypadCommands::run()
{
    m_outcomes.clear();
    m_writing = {};
    m_tellAtOnce = true;
    switch (m_context.options.command) {
    case Command::KeypadGet:
        return keypadGet();
    case Command::KeypadSet:
        return sendChanges(m_context.options.keypad, WriteMode::EachSetting);
    case Command::KeypadDefaults:
        return keypadDefaults();
    case Command::KeypadSave:
        return keypadSave();
    case Command::KeypadLoad:
        return sendChanges(*m_context.profile, WriteMode::AllOrNothing);
    default:
        break;
    }
    return Ended::exit(kExitUsage);
}

void KeypadCommands::finished(const KeypadOutcome &outcome, const KeypadSettings &)
{
    m_outcomes.push_back(outcome);
    if (m_tellAtOnce && !outcome.accepted)
        tellFailure(outcome);
}

void KeypadCommands::tellFailure(const KeypadOutcome &outcome)
{
    tell(m_context.err, 0, keypadFailureLine(outcome));
}

void KeypadCommands::tellUnfinishedWrites()
{
    const KeypadWriteReport &w = m_writing;
    if (w.planned.empty())
        return;
    std::vector<KeypadSetting> notWritten;
    for (KeypadSetting setting : w.planned) {
        if (std::find(w.written.begin(), w.written.end(), setting) == w.written.end() &&
            setting != w.inDoubt)
            notWritten.push_back(setting);
    }
    m_context.err << kProgram << "written before the reader was lost: " << namesOf(w.written)
                  << (w.inDoubt ? "; perhaps written (no answer): " + std::string(keyOf(*w.inDoubt))
                                : std::string())
                  << "; not written: " << namesOf(notWritten) << std::endl;
}

void KeypadCommands::report(const KeypadSettings &settings, const KeypadErrors &errors)
{
    m_context.out << keypadReport(settings, errors, m_context.options.json) << std::endl;
}

Ended KeypadCommands::keypadGet()
{
    const KeypadSequence read = m_keypad.readAll();
    if (read.end != KeypadEnd::Done)
        return endedBy(read.end);
    report(read.settings, read.errors());
    return Ended::exit(worstCode(read.outcomes));
}

Ended KeypadCommands::keypadSave()
{
    const KeypadSequence read = m_keypad.readAll();
    if (read.end != KeypadEnd::Done)
        return endedBy(read.end);
    std::ostream &err = m_context.err;
    if (const int code = worstCode(read.outcomes); code != kExitSuccess)
        return Ended::exit(tell(err, code, "nothing saved: not every setting could be read"));
    const std::string profile = profileText(keypadJson(read.settings, read.errors()));
    const std::string &path = m_context.options.profile;
    if (path == "-") {
        m_context.out << profile << std::flush;
        return Ended::exit(kExitSuccess);
    }
    const ProfileFile written = writeProfile(path, profile, {m_context.stop, m_context.stopFd});
    if (written.stopped)
        return Ended::stopped();
    if (written.fault != ProfileFault::None)
        return Ended::exit(tell(err, profileExit(written.fault), escapedText(written.message)));
    if (!m_context.options.quiet)
        err << kProgram << "saved the six settings to " << escapedText(path) << std::endl;
    return Ended::exit(kExitSuccess);
}

Ended KeypadCommands::keypadDefaults()
{
    // Six Sets, then six Gets, in the page's order; the Sets are not cut short by a stop.
    // The failures are told once the sequence is through: a reader lost on the way is told
    // by what it holds, not by the steps that failed with it.
    m_tellAtOnce = false;
    m_writing.planned.assign(kSettingOrder.begin(), kSettingOrder.end());
    const KeypadSequence sequence = m_keypad.restoreDefaults();
    m_tellAtOnce = true;
    if (sequence.end != KeypadEnd::Done) {
        const std::size_t count = kSettingOrder.size();
        for (std::size_t i = 0; i < std::min(count, sequence.outcomes.size()); ++i) {
            if (sequence.outcomes[i].accepted)
                m_writing.written.push_back(kSettingOrder[i]);
        }
        // The Set that was going out when the reader went.
        if (sequence.outcomes.size() < count)
            m_writing.inDoubt = kSettingOrder[sequence.outcomes.size()];
        return Ended::lost();
    }
    if (m_context.stop != 0)
        return Ended::stopped();
    m_writing = {};
    for (const KeypadOutcome &outcome : sequence.outcomes) {
        if (!outcome.accepted)
            tellFailure(outcome);
    }
    report(sequence.settings, sequence.errors());
    return Ended::exit(worstCode(sequence.outcomes));
}

// Sends what `patch` gives, reads all six back and tells, on stderr and in the exit code,
// of every setting the reader did not keep.
Ended KeypadCommands::sendChanges(const KeypadPatch &patch, WriteMode mode)
{
    std::ostream &err = m_context.err;
    m_writing = m_keypad.write(patch, mode);
    const KeypadWriteReport &written = m_writing;
    if (written.end != KeypadEnd::Done)
        return endedBy(written.end);
    if (written.readFailed) {
        const int code = worstCode(m_outcomes);
        if (mode == WriteMode::AllOrNothing) {
            err << kProgram << "nothing sent: the reader's settings must be read first, "
                << "to be written back if a Set is refused" << std::endl;
        } else {
            err << kProgram << "nothing sent: the output format must be read "
                << "before part of it can be changed" << std::endl;
        }
        return Ended::exit(code);
    }

    // The Sets of the changes themselves, not those that wrote the earlier settings back.
    int code = kExitSuccess;
    std::size_t sets = written.accepted.size() + (written.refused ? 1 : 0);
    if (mode == WriteMode::EachSetting)
        sets = written.planned.size();
    for (const KeypadOutcome &outcome : m_outcomes) {
        if (!outcome.write || sets == 0)
            continue;
        code = worse(code, codeOf(outcome));
        --sets;
    }
    if (m_context.stop != 0)
        return Ended::stopped();
    m_writing.planned.clear();

    const KeypadSequence read = m_keypad.readAll();
    if (read.end != KeypadEnd::Done)
        return endedBy(read.end);
    const KeypadSettings &kept = read.settings;
    const KeypadErrors errors = read.errors();
    code = worse(code, worstCode(read.outcomes));
    if (!written.refused) {
        for (KeypadSetting setting : written.accepted) {
            if (!errors[settingIndex(setting)].empty())
                continue;
            const std::string now = settingText(kept, setting);
            const std::string sent = settingText(written.sent, setting);
            const bool same = setting == KeypadSetting::AddType
                                  ? kept.addType == written.sent.addType
                                  : now == sent;
            if (!same) {
                err << kProgram << "the reader kept " << keyOf(setting) << " " << now << " after "
                    << sent << " was sent" << std::endl;
                code = worse(code, kExitReaderError);
            }
        }
    } else {
        err << kProgram << "profile not loaded: the Set of " << keyOf(*written.refused)
            << " failed; ";
        if (!written.notRestored.empty()) {
            err << "the reader keeps the profile's " << namesOf(written.notRestored)
                << " (writing back failed) and its earlier settings otherwise";
        } else if (!written.restored.empty()) {
            err << "the reader holds its earlier settings again (written back: "
                << namesOf(written.restored) << ")";
        } else {
            err << "nothing was changed";
        }
        err << std::endl;
    }
    report(kept, errors);
    return Ended::exit(code);
}

} // namespace qn480::cli
