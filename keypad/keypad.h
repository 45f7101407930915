// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "keypad_view.h"

#include <cstdint>
#include <span>
#include <string>

namespace qn480 {

class Link;

enum class KeypadSetting { Mode, Type, AddType, SendTime, ScanTime, SameTime };

// The reader's keyboard-emulation settings, read into and written from the page's controls.
class Keypad
{
public:
    Keypad(Link &link, KeypadView &view)
        : m_link(link)
        , m_view(view)
    {}

    // Each returns whether the reader accepted the command. While another keypad operation
    // runs (this one was started from its wait), each starts nothing and returns false, as a
    // disabled control would: operations never nest, however fast the clicks come.
    bool get(KeypadSetting setting); // btn_SetKeypadG01Click .. G06
    bool set(KeypadSetting setting); // btn_SetKeypadS01Click .. S06
    // A Set of bytes the controls may not be able to show (a format code without a radio
    // button), with the Set's own messages.
    bool send(KeypadSetting setting, std::span<const std::uint8_t> bytes);
    // ts_SetKeypadShow: the six Gets, then an empty status. When a Get failed on an open port
    // the status keeps the first failure instead: cleared boxes must not pass for a reading.
    void pageShown();
    // Button1Click: defaults, six Sets, six Gets, then an empty status or the first failure.
    // The Sets send the default bytes themselves, never what the controls show meanwhile.
    void restoreDefaults();

    // The owner closed the port: a running operation ends after its current step, leaving
    // the status line to whoever closed it rather than reporting steps that never ran.
    void portClosed();

private:
    class Operation;

    bool getOne(KeypadSetting setting);
    bool sendOne(KeypadSetting setting, std::span<const std::uint8_t> bytes);

    Link &m_link;
    KeypadView &m_view;
    std::string m_lastFailure; // the status text of the last command refused
    bool m_busy = false;
    bool m_cut = false; // the port was closed during the running operation
};

} // namespace qn480
