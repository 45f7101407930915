// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_settings.h"
#include "response.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qn480 {

class Link;

// One keypad command's outcome. A Get is accepted only with status 1 and exactly its
// setting's length of data, a Set with status 1.
struct KeypadOutcome
{
    KeypadSetting setting = KeypadSetting::Mode;
    bool write = false; // a Set; else a Get
    TransactionResult result = TransactionResult::NoPort;
    std::uint8_t status = 0; // the reader's status byte, 0 without a frame
    int dataLength = -1;     // -1: no good frame
    bool accepted = false;
};

// The failure rule shared by every consumer: the reader's own text, else the operation's
// own message ("Get Mode Error!!"). The choice rests on the status alone: a status-1 reply
// refused for its length shows the reader's "Operation is successful.", as operators and
// their scripts know it; the setting not read tells the rest.
std::string keypadFailureText(const KeypadOutcome &outcome);

// Sees each command of an operation go out and come back, for progress and result texts.
class KeypadObserver
{
public:
    virtual ~KeypadObserver() = default;
    virtual void starting(KeypadSetting setting, bool write) = 0;
    // `settings` holds the value an accepted Get has read.
    virtual void finished(const KeypadOutcome &outcome, const KeypadSettings &settings) = 0;
};

// How an operation ended. Busy: another operation runs (this one was started from its
// wait), nothing was sent. Cut: the port was closed; the command in progress is not
// reported. Stopped: the stop request ended a reading before its next command or report.
enum class KeypadEnd { Done, Busy, Cut, Stopped };

struct KeypadStep
{
    KeypadEnd end = KeypadEnd::Done;
    KeypadOutcome outcome; // when Done
};

// A sequence of commands: the page-shown reading, or the defaults' Sets and Gets.
struct KeypadSequence
{
    KeypadEnd end = KeypadEnd::Done;
    KeypadSettings settings;             // what was read; the rest as given
    std::vector<KeypadOutcome> outcomes; // in the order sent; fewer when it ended early
    std::optional<KeypadOutcome> firstFailure() const;
    // The failure text of each Get that was not accepted.
    KeypadErrors errors() const;
    // The defaults: each setting whose Set was accepted and read back unchanged.
    std::array<bool, 6> kept() const;
};

enum class WriteMode {
    EachSetting,  // every Set given is sent, whatever became of the others
    AllOrNothing, // the first refused Set ends it and the changed ones are written back
};

struct KeypadWriteReport
{
    KeypadEnd end = KeypadEnd::Done;
    // Nothing sent: the reader's settings (AllOrNothing) or its AddType (a partial
    // one given) could not be read first.
    bool readFailed = false;
    KeypadSettings before;               // the reader's settings, as far as they were read
    KeypadSettings sent;                 // the values the Sets carried
    std::vector<KeypadSetting> planned;  // the Sets to send, in order
    std::vector<KeypadSetting> accepted; // Sets the reader accepted, rolled back or not
    std::vector<KeypadSetting> written;  // those the reader may hold as sent now
    std::optional<KeypadSetting> refused;
    std::vector<KeypadSetting> restored;
    std::vector<KeypadSetting> notRestored;
    std::optional<KeypadSetting> inDoubt; // sent when the port was closed, answer not in
};

// The reader's keyboard-emulation settings, read and written as values. Operations never
// nest: while one runs (a command waits), every other returns Busy at once.
class Keypad
{
public:
    explicit Keypad(Link &link, KeypadObserver *observer = nullptr)
        : m_link(link)
        , m_observer(observer)
    {}

    void setObserver(KeypadObserver *observer) { m_observer = observer; }
    // Asked before and after each command of a reading: true ends it there. Sets always
    // finish: a reader left half-set is worse than a late stop.
    void setStopRequest(std::function<bool()> stopRequested)
    {
        m_stopRequested = std::move(stopRequested);
    }
    bool running() const { return m_busy; }

    // On acceptance the setting's value is written into `settings`.
    KeypadStep get(KeypadSetting setting, KeypadSettings &settings);
    KeypadStep set(KeypadSetting setting, const KeypadSettings &settings);
    // The six Gets; a failure does not end it.
    KeypadSequence readAll(KeypadSettings settings = {});
    // The six Sets of the defaults, then the six Gets; no step is skipped after a failure.
    KeypadSequence restoreDefaults();
    // Sends what `patch` gives, in the settings' order.
    KeypadWriteReport write(const KeypadPatch &patch, WriteMode mode);

    // The owner closed the port: a running operation ends after its current step, leaving
    // the status line to whoever closed it rather than reporting steps that never ran.
    void portClosed();

private:
    class Operation;

    KeypadStep exchange(KeypadSetting setting, bool write, const SettingBytes &bytes,
                        KeypadSettings &settings, bool stoppable);
    KeypadStep getOne(KeypadSetting setting, KeypadSettings &settings, bool stoppable);
    KeypadStep setOne(KeypadSetting setting, const KeypadSettings &settings);
    bool stopRequested() const { return m_stopRequested && m_stopRequested(); }

    Link &m_link;
    KeypadObserver *m_observer;
    std::function<bool()> m_stopRequested;
    bool m_busy = false;
    bool m_cut = false; // the port was closed during the running operation
};

} // namespace qn480
