#include "keypad.h"

#include "link.h"

namespace qn480 {

void Keypad::get(KeypadSetting setting)
{
    (void)setting;
}

void Keypad::set(KeypadSetting setting)
{
    (void)setting;
}

void Keypad::pageShown() {}

void Keypad::restoreDefaults() {}

} // namespace qn480
