#pragma once

#include "keypad_view.h"

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

    void get(KeypadSetting setting); // btn_SetKeypadG01Click .. G06
    void set(KeypadSetting setting); // btn_SetKeypadS01Click .. S06
    void pageShown();                // ts_SetKeypadShow: the six Gets, then an empty status
    void restoreDefaults();          // Button1Click: defaults, six Sets, six Gets, empty status

private:
    Link &m_link;
    KeypadView &m_view;
};

} // namespace qn480
