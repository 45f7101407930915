// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad.h"
#include "keypad_settings.h"
#include "keypad_view.h"

#include <array>
#include <functional>
#include <optional>
#include <string>

namespace qn480::cli {

// The SetKeypad page's controls held in memory, as they stand when the page opens: every
// box unchecked, "16H" selected, the scroll bars at 10.
class KeypadState final : public KeypadView
{
public:
    using StatusHook = std::function<void(const std::string &text)>;

    // Sees every status message as it is shown.
    void setStatusHook(StatusHook hook) { m_hook = std::move(hook); }
    const std::string &status() const { return m_status; }

    void setStatus(const std::string &text) override;
    bool isChecked(KeypadCheck box) const override { return m_boxes.has(box); }
    void setChecked(KeypadCheck box, bool checked) override { m_boxes.set(box, checked); }
    int formatCode() const override { return m_format; }
    void selectFormat(int code) override;
    int position(KeypadTiming timing) const override;
    void setPosition(KeypadTiming timing, int position) override;

    // The output format's bytes as the reader last reported them; the controls cannot show
    // a format code without a radio button, nor reversal codes other than 1, 2 and 4.
    const std::optional<AddTypeBytes> &addTypeBytes() const { return m_addTypeBytes; }
    void setAddTypeBytes(std::optional<AddTypeBytes> bytes) { m_addTypeBytes = bytes; }

private:
    static constexpr int kStartPosition = 10;

    CheckedBoxes m_boxes;
    int m_format = kFormat16H;
    std::array<int, 3> m_positions{kStartPosition, kStartPosition, kStartPosition};
    std::optional<AddTypeBytes> m_addTypeBytes;
    std::string m_status;
    StatusHook m_hook;
};

// What a setting's controls show, as qn480ctl writes it: "autoread,led", "none", "8H",
// "15". The output format is the three parts "8H reverse=none add=enter".
std::string settingText(const KeypadView &view, KeypadSetting setting);

// The output format's bytes as qn480ctl writes them: "code 0x0B reverse=none add=enter".
std::string addTypeText(const AddTypeBytes &bytes);

// Every setting's message when it could not be read; empty where it was read.
using KeypadErrors = std::array<std::string, 6>;

// The six settings as `keypad get` prints them: one "name: value" line each, or one JSON
// object (see --help). The format is the reader's own code where its bytes are known.
std::string keypadReport(const KeypadState &state, const KeypadErrors &errors, bool json);

} // namespace qn480::cli
