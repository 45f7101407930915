// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad_commands.h"

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

int worse(int a, int b)
{
    const auto rank = [](int code) {
        return code == kExitNoAnswer ? 2 : code == kExitSuccess ? 0 : 1;
    };
    return rank(a) >= rank(b) ? a : b;
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
    m_planned.clear();
    m_written.clear();
    m_inDoubt.reset();
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
        return keypadLoad();
    default:
        break;
    }
    return Ended::exit(kExitUsage);
}

void KeypadCommands::starting(KeypadSetting, bool) {}

void KeypadCommands::finished(const KeypadOutcome &outcome, const KeypadSettings &)
{
    m_outcomes.push_back(outcome);
    if (m_tellAtOnce && !outcome.accepted)
        tellFailure(outcome);
}

void KeypadCommands::tellFailure(const KeypadOutcome &outcome)
{
    m_context.err << kProgram << (outcome.write ? "set " : "get ") << keyOf(outcome.setting) << ": "
                  << keypadFailureText(outcome) << std::endl;
}

void KeypadCommands::tellUnfinishedWrites()
{
    if (m_planned.empty())
        return;
    std::vector<KeypadSetting> notWritten;
    for (KeypadSetting setting : m_planned) {
        if (std::find(m_written.begin(), m_written.end(), setting) == m_written.end() &&
            setting != m_inDoubt)
            notWritten.push_back(setting);
    }
    m_context.err << kProgram << "written before the reader was lost: " << namesOf(m_written)
                  << (m_inDoubt ? "; perhaps written (no answer): " + std::string(keyOf(*m_inDoubt))
                                : std::string())
                  << "; not written: " << namesOf(notWritten) << std::endl;
}

std::optional<Ended> KeypadCommands::readAll(KeypadSettings &settings, KeypadErrors &errors,
                                             int &code)
{
    m_outcomes.clear();
    const KeypadSequence read = m_keypad.readAll();
    if (read.end == KeypadEnd::Stopped)
        return Ended::stopped();
    if (read.end != KeypadEnd::Done)
        return Ended::lost();
    settings = read.settings;
    errors = read.errors();
    code = kExitSuccess;
    for (const KeypadOutcome &outcome : read.outcomes)
        code = worse(code, codeOf(outcome));
    return std::nullopt;
}

void KeypadCommands::report(const KeypadSettings &settings, const KeypadErrors &errors)
{
    m_context.out << keypadReport(settings, errors, m_context.options.json) << std::endl;
}

Ended KeypadCommands::keypadGet()
{
    KeypadSettings settings;
    KeypadErrors errors;
    int code = kExitSuccess;
    if (const auto ended = readAll(settings, errors, code))
        return *ended;
    report(settings, errors);
    return Ended::exit(code);
}

Ended KeypadCommands::keypadSave()
{
    KeypadSettings settings;
    KeypadErrors errors;
    int code = kExitSuccess;
    if (const auto ended = readAll(settings, errors, code))
        return *ended;
    std::ostream &err = m_context.err;
    if (code != kExitSuccess) {
        err << kProgram << "nothing saved: not every setting could be read" << std::endl;
        return Ended::exit(code);
    }
    const std::string profile = profileText(keypadJson(settings, errors));
    const std::string &path = m_context.options.profile;
    if (path == "-") {
        m_context.out << profile << std::flush;
        return Ended::exit(kExitSuccess);
    }
    const ProfileFile written = writeProfile(path, profile, {m_context.stop, m_context.stopFd});
    if (written.stopped)
        return Ended::stopped();
    if (written.fault != ProfileFault::None) {
        err << kProgram << escapedText(written.message) << std::endl;
        return Ended::exit(profileExit(written.fault));
    }
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
    m_planned.assign(kSettingOrder.begin(), kSettingOrder.end());
    const KeypadSequence sequence = m_keypad.restoreDefaults();
    m_tellAtOnce = true;
    if (sequence.end != KeypadEnd::Done) {
        const std::size_t count = kSettingOrder.size();
        for (std::size_t i = 0; i < std::min(count, sequence.outcomes.size()); ++i) {
            if (sequence.outcomes[i].accepted)
                m_written.push_back(kSettingOrder[i]);
        }
        // The Set that was going out when the reader went.
        if (sequence.outcomes.size() < count)
            m_inDoubt = kSettingOrder[sequence.outcomes.size()];
        return Ended::lost();
    }
    if (m_context.stop != 0)
        return Ended::stopped();
    m_planned.clear();

    int code = kExitSuccess;
    for (const KeypadOutcome &outcome : sequence.outcomes) {
        code = worse(code, codeOf(outcome));
        if (!outcome.accepted)
            tellFailure(outcome);
    }
    report(sequence.settings, sequence.errors());
    return Ended::exit(code);
}

Ended KeypadCommands::keypadLoad()
{
    // Read once: a reader plugged in again (--wait) gets the same profile, even from a pipe
    // that has been read to its end.
    std::optional<KeypadPatch> &profile = m_context.profile;
    if (!profile) {
        const ProfileFile read =
            readProfile(m_context.options.profile, {m_context.stop, m_context.stopFd});
        if (read.stopped)
            return Ended::stopped();
        if (read.fault != ProfileFault::None) {
            m_context.err << kProgram << escapedText(read.message) << std::endl;
            return Ended::exit(profileExit(read.fault));
        }
        profile = read.patch;
    }
    return sendChanges(*profile, WriteMode::AllOrNothing);
}

// Sends what `patch` gives, reads all six back and tells, on stderr and in the exit code,
// of every setting the reader did not keep.
Ended KeypadCommands::sendChanges(const KeypadPatch &patch, WriteMode mode)
{
    std::ostream &err = m_context.err;
    const KeypadWriteReport written = m_keypad.write(patch, mode);
    m_planned = written.planned;
    m_written = written.written;
    m_inDoubt = written.inDoubt;
    if (written.end == KeypadEnd::Stopped)
        return Ended::stopped();
    if (written.end != KeypadEnd::Done)
        return Ended::lost();
    if (written.readFailed) {
        int code = kExitSuccess;
        for (const KeypadOutcome &outcome : m_outcomes)
            code = worse(code, codeOf(outcome));
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
    m_planned.clear();

    KeypadSettings kept;
    KeypadErrors errors;
    int read = kExitSuccess;
    if (const auto ended = readAll(kept, errors, read))
        return *ended;
    code = worse(code, read);
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
    }
    if (written.refused) {
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
