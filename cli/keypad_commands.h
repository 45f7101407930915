// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad.h"
#include "keypad_json.h"
#include "keypad_profile.h"
#include "keypad_text.h"
#include "options.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qn480 {
class Link;
}

namespace qn480::cli {

// How one run of a command that talks to the reader ended: with an exit code, at a stop
// signal (nothing more reported), or with the reader gone.
struct Ended
{
    enum class Kind { Exit, Stopped, Lost };
    Kind kind = Kind::Exit;
    int code = kExitSuccess;

    static Ended exit(int code) { return {Kind::Exit, code}; }
    static Ended stopped() { return {Kind::Stopped, 0}; }
    static Ended lost() { return {Kind::Lost, 0}; }
};

// A reply that was not usable: silence or a garbled frame, or the reader's own refusal.
int failureCode(int dataLength);

// A profile's file that is refused exits as a usage error; a failed write as any failed
// output.
int profileExit(ProfileFault fault);

// keypad load's profile, read whole and checked before a port or a broker is touched, so that
// a bad one names the file, and a reader found again (--wait) gets the same one even from a
// pipe. Nothing when it is refused (told on `err`, its exit code in `code`) or a stop signal
// ended the read (`code` 0).
std::optional<KeypadPatch> loadProfile(const Options &options, std::ostream &err, int stopFd,
                                       int &code);

// qn480ctl keypad get, set, defaults, save and load. The object lives for the whole
// command: a reader found again with --wait gets the same profile.
class KeypadCommands final : private KeypadObserver
{
public:
    struct Context
    {
        const Options &options;
        Link &link;
        std::ostream &out;
        std::ostream &err;
        const volatile std::sig_atomic_t &stop;
        int stopFd = -1;                    // the stop signals' pipe, -1: none
        std::optional<KeypadPatch> profile; // keypad load's: loadProfile()'s
    };

    explicit KeypadCommands(Context context);

    // One run of the command the options name.
    Ended run();
    // The reader went away: the operation running ends after its current step.
    void portLost() { m_keypad.portClosed(); }
    // After a loss: what a write sequence had changed on the reader and what not.
    void tellUnfinishedWrites();

private:
    Ended keypadGet();
    Ended keypadSave();
    Ended keypadDefaults();
    Ended sendChanges(const KeypadPatch &patch, WriteMode mode);
    void report(const KeypadSettings &settings, const KeypadErrors &errors);
    void tellFailure(const KeypadOutcome &outcome);

    void starting(KeypadSetting, bool) override {} // no progress lines on a terminal
    void finished(const KeypadOutcome &outcome, const KeypadSettings &settings) override;

    Context m_context;
    Keypad m_keypad;
    std::vector<KeypadOutcome> m_outcomes; // the operation's, in order
    bool m_tellAtOnce = true;              // failures told as they come
    // A write sequence under way: the settings it is to Set, those the reader now holds as
    // set, and one sent whose answer is not in.
    KeypadWriteReport m_writing;
};

} // namespace qn480::cli
