// SPDX-License-Identifier: GPL-3.0-or-later
#include "keypad.h"

#include "keypad_settings.h"
#include "link.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qn480 {

namespace {

// Every keypad setting lives in the reader's own command group.
constexpr std::uint8_t kKeypadGroup = 0x00;

using SettingBytes = std::array<std::uint8_t, 3>; // the first `length` bytes count

struct Messages
{
    std::string_view progress; // before the command
    std::string_view ok;       // reply accepted
    std::string_view error;    // not accepted and the reader's status has no text
};

// One setting bound to its controls. Get, Set, the page-shown reading and the defaults all
// walk kSettings, so a setting's codes, texts and bytes are written down only here.
struct SettingBinding
{
    KeypadSetting setting;
    std::uint8_t getCode;
    std::uint8_t setCode;
    Messages get;
    Messages set;
    int length; // data bytes of a Set, and the exact DataLength of an accepted Get reply
    SettingBytes defaults;
    // The bytes a Set sends; normalises the controls first where the reader needs it, so
    // the page shows what was sent.
    SettingBytes (*read)(KeypadView &view);
    // Shows a setting's bytes: an accepted Get reply or the defaults.
    void (*write)(KeypadView &view, const SettingBytes &bytes);
    // Run before a Get so that a refused reply leaves no stale setting on show; nullptr
    // keeps the controls (the timings keep their positions).
    void (*reset)(KeypadView &view);
};

// Mode and card type: one byte, one check box per bit.

template <const auto &Bits> SettingBytes readBits(KeypadView &view)
{
    CheckedBoxes boxes;
    for (const BoxBit &b : Bits)
        boxes.set(b.box, view.isChecked(b.box));
    return {packBoxes(Bits, boxes)};
}

template <const auto &Bits> void showBits(KeypadView &view, std::uint8_t byte)
{
    const CheckedBoxes boxes = unpackBoxes(Bits, byte);
    for (const BoxBit &b : Bits)
        view.setChecked(b.box, boxes.has(b.box));
}

template <const auto &Bits> void writeBits(KeypadView &view, const SettingBytes &bytes)
{
    showBits<Bits>(view, bytes[0]);
}

template <const auto &Bits> void clearBits(KeypadView &view)
{
    showBits<Bits>(view, 0);
}

// Output format: a radio button and ten check boxes.

constexpr std::array<KeypadCheck, 10> kAddTypeBoxes{
    KeypadCheck::RevByte, KeypadCheck::RevBit, KeypadCheck::Comma, KeypadCheck::Brackets,
    KeypadCheck::Quotes,  KeypadCheck::Space,  KeypadCheck::Tab,   KeypadCheck::Down,
    KeypadCheck::Ctrl,    KeypadCheck::Enter,
};

AddTypeControls addTypeShown(const KeypadView &view)
{
    AddTypeControls controls{view.formatCode(), {}};
    for (KeypadCheck box : kAddTypeBoxes)
        controls.boxes.set(box, view.isChecked(box));
    return controls;
}

void showAddType(KeypadView &view, const AddTypeControls &controls)
{
    view.selectFormat(controls.format);
    for (KeypadCheck box : kAddTypeBoxes)
        view.setChecked(box, controls.boxes.has(box));
}

SettingBytes readAddType(KeypadView &view)
{
    const AddTypeControls controls = normalisedAddType(addTypeShown(view));
    showAddType(view, controls);
    return addTypeBytes(controls);
}

void writeAddType(KeypadView &view, const SettingBytes &bytes)
{
    showAddType(view, addTypeControls(bytes));
}

void resetAddType(KeypadView &view)
{
    showAddType(view, AddTypeControls{});
}

// Timings: one byte, the scroll bar's position.

template <KeypadTiming Timing> SettingBytes readPosition(KeypadView &view)
{
    return {static_cast<std::uint8_t>(std::clamp(view.position(Timing), 0, 255))};
}

template <KeypadTiming Timing> void writePosition(KeypadView &view, const SettingBytes &bytes)
{
    view.setPosition(Timing, bytes[0]);
}

// In the order the page reads them and the defaults write them.
constexpr std::array<SettingBinding, 6> kSettings{{
    {KeypadSetting::Mode,
     0x10,
     0x11,
     {" Get HID Keyboard", " Get Mode OK!!", " Get Mode Error!!"},
     {" Set HID Keyboard", " Set Mode OK!!", " Set Mode Error!!"},
     1,
     {0x0F},
     readBits<kModeBits>,
     writeBits<kModeBits>,
     clearBits<kModeBits>},
    {KeypadSetting::Type,
     0x12,
     0x13,
     {" Get HID Keyboard read card type", " Get Type OK!!", " Get Type Error!!"},
     {" Set HID Keyboard read card type", " Set Type OK!!", " Set Type Error!!"},
     1,
     {0x1F},
     readBits<kTypeBits>,
     writeBits<kTypeBits>,
     clearBits<kTypeBits>},
    {KeypadSetting::AddType,
     0x1A,
     0x1B,
     {" Get HID Keyboard send type", " Get AddType OK!!", " Get AddType Error!!"},
     // The operator knows this text from Set Type; it stays the same.
     {" Set HID Keyboard read card type", " Set AddType OK!!", " Set AddType Error!!"},
     3,
     {kFormat8H, kNoReversal, 0x80}, // 8H, Enter
     readAddType,
     writeAddType,
     resetAddType},
    {KeypadSetting::SendTime,
     0x18,
     0x19,
     {" Get Keypad_KeySendTime", " Get SendTime OK!!", " Get SendTime Error!!"},
     {" Set Keypad_KeySendTime ", " Set SendTime OK!!", " Set SendTime Error!!"},
     1,
     {10}, // 10 ms
     readPosition<KeypadTiming::SendTime>,
     writePosition<KeypadTiming::SendTime>,
     nullptr},
    {KeypadSetting::ScanTime,
     0x14,
     0x15,
     {" Get Keypad_ScanTime", " Get ScanTime OK!!", " Get ScanTime Error!!"},
     {" Set Keypad_ScanTime ", " Set ScanTime OK!!", " Set ScanTime Error!!"},
     1,
     {5}, // 50 ms
     readPosition<KeypadTiming::ScanTime>,
     writePosition<KeypadTiming::ScanTime>,
     nullptr},
    {KeypadSetting::SameTime,
     0x16,
     0x17,
     {" Get Keypad_SameCardTime", " Get SameCardTime OK!!", " Get SameCardTime Error!!"},
     {" Set Keypad_SameCardTime ", " Set SameCardTime OK!!", " Set SameCardTime Error!!"},
     1,
     {15}, // 1.5 s
     readPosition<KeypadTiming::SameTime>,
     writePosition<KeypadTiming::SameTime>,
     nullptr},
}};

constexpr bool inSettingOrder()
{
    for (std::size_t i = 0; i < kSettings.size(); ++i) {
        if (static_cast<std::size_t>(kSettings[i].setting) != i)
            return false;
    }
    return true;
}
static_assert(inSettingOrder(), "kSettings is indexed by KeypadSetting");

const SettingBinding &binding(KeypadSetting setting)
{
    return kSettings[static_cast<std::size_t>(setting)];
}

// One keypad command. The window runs once more afterwards; anything it starts then may
// overwrite LastResponse, so the caller judges the reply returned here.
Response exchange(Link &link, KeypadView &view, std::string_view progress, std::uint8_t code,
                  std::span<const std::uint8_t> data)
{
    view.setStatus(std::string(progress));
    Reply reply = link.transact(kKeypadGroup, code, data);
    link.processMessages();
    return reply.response;
}

} // namespace

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

bool Keypad::get(KeypadSetting setting)
{
    const Operation operation(*this);
    return operation.started() && getOne(setting);
}

bool Keypad::set(KeypadSetting setting)
{
    const Operation operation(*this);
    if (!operation.started())
        return false;
    const SettingBinding &b = binding(setting);
    const SettingBytes bytes = b.read(m_view);
    return sendOne(setting, std::span(bytes).first(static_cast<std::size_t>(b.length)));
}

bool Keypad::send(KeypadSetting setting, std::span<const std::uint8_t> bytes)
{
    const Operation operation(*this);
    return operation.started() && sendOne(setting, bytes);
}

bool Keypad::getOne(KeypadSetting setting)
{
    const SettingBinding &b = binding(setting);
    if (b.reset != nullptr)
        b.reset(m_view);
    const Response response = exchange(m_link, m_view, b.get.progress, b.getCode, {});
    if (m_cut)
        return false;
    if (response.Status == 1 && response.DataLength == b.length) {
        SettingBytes bytes{};
        std::copy_n(response.Data.begin(), b.length, bytes.begin());
        b.write(m_view, bytes);
        m_view.setStatus(std::string(b.get.ok));
        return true;
    }
    m_lastFailure = keypadFailureText(response, b.get.error);
    m_view.setStatus(m_lastFailure);
    return false;
}

bool Keypad::sendOne(KeypadSetting setting, std::span<const std::uint8_t> bytes)
{
    const SettingBinding &b = binding(setting);
    const Response response = exchange(m_link, m_view, b.set.progress, b.setCode, bytes);
    if (m_cut)
        return false;
    if (response.Status == 1) {
        m_view.setStatus(std::string(b.set.ok));
        return true;
    }
    m_lastFailure = keypadFailureText(response, b.set.error);
    m_view.setStatus(m_lastFailure);
    return false;
}

void Keypad::pageShown()
{
    const Operation operation(*this);
    if (!operation.started())
        return; // the page shown again while its reads run: they go on, once
    // Without a port nothing was asked of a reader and the controls are disabled: the page
    // ends quiet, as it always has.
    const bool connected = m_link.hasPort();
    std::optional<std::string> failure;
    for (const SettingBinding &b : kSettings) {
        if (!getOne(b.setting) && !failure)
            failure = m_lastFailure;
        if (m_cut)
            return;
    }
    m_view.setStatus(connected && failure ? *failure : std::string());
}

void Keypad::restoreDefaults()
{
    const Operation operation(*this);
    if (!operation.started())
        return;
    const bool connected = m_link.hasPort();
    std::optional<std::string> failure;
    for (const SettingBinding &b : kSettings)
        b.write(m_view, b.defaults);
    // The defaults go out as bytes: a control changed while an earlier Set waits (by the
    // operator or another handler) must not be sent in their place.
    for (const SettingBinding &b : kSettings) {
        if (!sendOne(b.setting, std::span(b.defaults).first(static_cast<std::size_t>(b.length))) &&
            !failure)
            failure = m_lastFailure;
        if (m_cut)
            return;
    }
    for (const SettingBinding &b : kSettings) {
        if (!getOne(b.setting) && !failure)
            failure = m_lastFailure;
        if (m_cut)
            return;
    }
    m_view.setStatus(connected && failure ? *failure : std::string());
}

} // namespace qn480
