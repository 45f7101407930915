// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad.h"

#include "link.h"
#include "status_text.h"

#include <algorithm>
#include <span>

namespace qn480 {

namespace {

// Every keypad setting lives in the reader's own command group.
constexpr std::uint8_t kKeypadGroup = 0x00;

bool sameBytes(KeypadSetting setting, const SettingBytes &a, const SettingBytes &b)
{
    const auto length = static_cast<std::size_t>(settingInfo(setting).length);
    return std::equal(a.begin(), a.begin() + length, b.begin());
}

// One step per setting, in the page's order, each outcome kept; false when a step did not
// end as Done, which then ends the sequence.
template <typename Step> bool eachSetting(KeypadSequence &sequence, const Step &step)
{
    for (KeypadSetting setting : kSettingOrder) {
        const KeypadStep done = step(setting);
        sequence.end = done.end;
        if (done.end != KeypadEnd::Done)
            return false;
        sequence.outcomes.push_back(done.outcome);
    }
    return true;
}

} // namespace

std::string keypadFailureText(const KeypadOutcome &outcome)
{
    const std::string_view text = StatusText(outcome.status);
    if (!text.empty())
        return std::string(text);
    return std::string(outcome.write ? "Set " : "Get ") +
           std::string(settingInfo(outcome.setting).operation) + " Error!!";
}

std::optional<KeypadOutcome> KeypadSequence::firstFailure() const
{
    const auto failed = std::find_if(outcomes.begin(), outcomes.end(),
                                     [](const KeypadOutcome &o) { return !o.accepted; });
    if (failed == outcomes.end())
        return std::nullopt;
    return *failed;
}

KeypadErrors KeypadSequence::errors() const
{
    KeypadErrors errors;
    for (const KeypadOutcome &outcome : outcomes) {
        if (!outcome.write && !outcome.accepted)
            errors[settingIndex(outcome.setting)] = keypadFailureText(outcome);
    }
    return errors;
}

std::array<bool, 6> KeypadSequence::kept() const
{
    const KeypadSettings defaults = KeypadSettings::defaults();
    std::array<bool, 6> kept{};
    for (KeypadSetting setting : kSettingOrder) {
        const auto accepted = [&](bool write) {
            return std::any_of(outcomes.begin(), outcomes.end(), [&](const KeypadOutcome &o) {
                return o.setting == setting && o.write == write && o.accepted;
            });
        };
        kept[settingIndex(setting)] =
            accepted(true) && accepted(false) &&
            sameBytes(setting, settings.bytes(setting), defaults.bytes(setting));
    }
    return kept;
}

// One top-level operation: refuses to start inside another, and frees the keypad however
// it ends.
class Keypad::Operation
{
public:
    explicit Operation(Keypad &keypad)
        : m_keypad(keypad)
        , m_started(!keypad.m_busy)
    {
        if (m_started) {
            m_keypad.m_busy = true;
            m_keypad.m_cut = false;
        }
    }
    ~Operation()
    {
        if (m_started) {
            m_keypad.m_busy = false;
            m_keypad.m_cut = false;
        }
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    bool started() const { return m_started; }

private:
    Keypad &m_keypad;
    bool m_started;
};

void Keypad::portClosed()
{
    if (m_busy)
        m_cut = true;
}

// One keypad command. The window runs once more afterwards; anything it starts then may
// overwrite LastResponse, so the reply judged is the one returned here.
KeypadStep Keypad::exchange(KeypadSetting setting, bool write, const SettingBytes &bytes,
                            KeypadSettings &settings, bool stoppable)
{
    if (stoppable && stopRequested())
        return {KeypadEnd::Stopped, {}};
    const SettingInfo &info = settingInfo(setting);
    if (m_observer)
        m_observer->starting(setting, write);
    const auto length = static_cast<std::size_t>(info.length);
    const Reply reply =
        write ? m_link.transact(kKeypadGroup, info.setCode, std::span(bytes).first(length))
              : m_link.transact(kKeypadGroup, info.getCode, {});
    m_link.processMessages();
    if (m_cut)
        return {KeypadEnd::Cut, {}};
    if (stoppable && stopRequested())
        return {KeypadEnd::Stopped, {}};

    const Response &r = reply.response;
    KeypadOutcome outcome{setting, write, reply.result, r.Status, r.DataLength, false};
    outcome.accepted = r.Status == 1 && (write || r.DataLength == info.length);
    if (outcome.accepted && !write) {
        SettingBytes read{};
        std::copy_n(r.Data.begin(), length, read.begin());
        settings.setBytes(setting, read);
    }
    if (m_observer)
        m_observer->finished(outcome, settings);
    return {KeypadEnd::Done, outcome};
}

KeypadStep Keypad::getOne(KeypadSetting setting, KeypadSettings &settings, bool stoppable)
{
    return exchange(setting, false, {}, settings, stoppable);
}

KeypadStep Keypad::setOne(KeypadSetting setting, const KeypadSettings &settings)
{
    KeypadSettings unchanged = settings;
    return exchange(setting, true, settings.bytes(setting), unchanged, false);
}

KeypadStep Keypad::get(KeypadSetting setting, KeypadSettings &settings)
{
    const Operation operation(*this);
    if (!operation.started())
        return {KeypadEnd::Busy, {}};
    return getOne(setting, settings, true);
}

KeypadStep Keypad::set(KeypadSetting setting, const KeypadSettings &settings)
{
    const Operation operation(*this);
    if (!operation.started())
        return {KeypadEnd::Busy, {}};
    return setOne(setting, settings);
}

KeypadSequence Keypad::readAll(KeypadSettings settings)
{
    KeypadSequence sequence{KeypadEnd::Done, settings, {}};
    const Operation operation(*this);
    if (!operation.started()) {
        sequence.end = KeypadEnd::Busy;
        return sequence;
    }
    eachSetting(sequence,
                [&](KeypadSetting setting) { return getOne(setting, sequence.settings, true); });
    return sequence;
}

KeypadSequence Keypad::restoreDefaults()
{
    const KeypadSettings defaults = KeypadSettings::defaults();
    KeypadSequence sequence{KeypadEnd::Done, defaults, {}};
    const Operation operation(*this);
    if (!operation.started()) {
        sequence.end = KeypadEnd::Busy;
        return sequence;
    }
    // The defaults go out as values: a control changed while an earlier Set waits (by the
    // operator or another handler) must not be sent in their place.
    if (eachSetting(sequence, [&](KeypadSetting setting) { return setOne(setting, defaults); }))
        eachSetting(sequence, [&](KeypadSetting setting) {
            return getOne(setting, sequence.settings, false);
        });
    return sequence;
}

KeypadWriteReport Keypad::write(const KeypadPatch &patch, WriteMode mode)
{
    KeypadWriteReport report;
    const Operation operation(*this);
    if (!operation.started()) {
        report.end = KeypadEnd::Busy;
        return report;
    }
    const bool allOrNothing = mode == WriteMode::AllOrNothing;

    // What the Sets may have to restore, or to complete: the output format is one command
    // of three parts, and a part not given keeps the reader's own byte, which only a Get
    // can tell. Sending a guess would change it.
    std::vector<KeypadSetting> reads;
    if (allOrNothing)
        reads.assign(kSettingOrder.begin(), kSettingOrder.end());
    else if (patch.gives(KeypadSetting::AddType) && !patch.completeAddType())
        reads.push_back(KeypadSetting::AddType);
    for (KeypadSetting setting : reads) {
        const KeypadStep step = getOne(setting, report.before, true);
        report.end = step.end;
        if (step.end != KeypadEnd::Done)
            return report;
        report.readFailed = report.readFailed || !step.outcome.accepted;
        // A partial format: nothing goes out once its read failed.
        if (report.readFailed && !allOrNothing)
            return report;
    }
    if (report.readFailed)
        return report;

    report.sent = patch.over(report.before);
    for (KeypadSetting setting : kSettingOrder) {
        if (patch.gives(setting))
            report.planned.push_back(setting);
    }
    for (KeypadSetting setting : report.planned) {
        report.inDoubt = setting; // until its answer is in
        const KeypadStep step = setOne(setting, report.sent);
        if (step.end != KeypadEnd::Done) {
            report.end = step.end;
            return report;
        }
        report.inDoubt.reset();
        if (step.outcome.accepted) {
            report.accepted.push_back(setting);
            report.written.push_back(setting);
        } else if (allOrNothing) {
            report.refused = setting;
            // Without an answer the reader may have taken it: it is written back too.
            if (step.outcome.dataLength < 0)
                report.written.push_back(setting);
            break;
        }
    }
    if (!report.refused)
        return report;

    // Back to what the reader held, so that a profile is loaded whole or not at all.
    for (KeypadSetting setting : std::vector(report.written)) {
        report.inDoubt = setting;
        const KeypadStep step = setOne(setting, report.before);
        if (step.end != KeypadEnd::Done) {
            report.end = step.end;
            return report;
        }
        report.inDoubt.reset();
        if (step.outcome.accepted) {
            std::erase(report.written, setting);
            report.restored.push_back(setting);
        } else {
            report.notRestored.push_back(setting);
        }
    }
    return report;
}

} // namespace qn480
