// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The settings as text for people: each value by the names its options take.

#include "keypad.h"
#include "keypad_json.h"
#include "keypad_settings.h"

#include <string>
#include <vector>

namespace qn480 {

// A setting's value by its names: "autoread,led", "none", "15", or AddType as
// "code 0x0B reverse=none add=enter".
std::string settingText(const KeypadSettings &settings, KeypadSetting setting);

// The settings' keys, comma-separated; "none" for none.
std::string namesOf(const std::vector<KeypadSetting> &settings);

// A failed step named by its command and setting: "get mode: Get Mode Error!!".
std::string keypadFailureLine(const KeypadOutcome &outcome);

// The six settings as `keypad get` prints them: one "name: value" line each, or one JSON
// object. Unread settings are named with their message. The last line has no line end.
std::string keypadReport(const KeypadSettings &settings, const KeypadErrors &errors, bool json);

} // namespace qn480
