// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace qn480 {

// The check boxes of the SetKeypad page.
enum class KeypadCheck {
    Auto,     // chk01_Auto "AutoRead"
    Beep,     // chk01_Beep
    Led,      // chk01_Led
    Same,     // chk01_Same "SameCard"
    Type43A,  // chk02_43A "ISO14443A"
    Type43B,  // chk02_43B "ISO14443B"
    Type43C,  // chk02_43C "Felia"
    Type693,  // chk02_693 "ISO15693"
    TypeGuid, // chk02_Guid "Chinese GUID"
    RevByte,  // chk03_RevByte
    RevBit,   // chk03_RevBit
    Comma,    // chk03_Comma
    Brackets, // chk03_Brackets
    Quotes,   // chk03_Quotes
    Space,    // chk03_Space
    Tab,      // chk03_Tab
    Down,     // chk03_Down
    Ctrl,     // chk03_Ctrl "Ctrl+Enter"
    Enter,    // chk03_Enter
};

enum class KeypadTiming { SendTime, ScanTime, SameTime }; // sbSendTime, sbScanTime, sbSameTime

// What the keypad settings see of the window. Texts are UTF-8.
class KeypadView
{
public:
    virtual ~KeypadView() = default;

    virtual void setStatus(const std::string &text) = 0; // status-bar panel 0
    virtual bool isChecked(KeypadCheck box) const = 0;
    virtual void setChecked(KeypadCheck box, bool checked) = 0;
    // Format code of the selected rbn03_ radio button (1-10, 12), 0 when none is selected.
    virtual int formatCode() const = 0;
    // Selects the radio button of a code that has one.
    virtual void selectFormat(int code) = 0;
    // Scroll bar position 0-255; setting it updates its panel through the change handler.
    virtual int position(KeypadTiming timing) const = 0;
    virtual void setPosition(KeypadTiming timing, int position) = 0;
};

} // namespace qn480
