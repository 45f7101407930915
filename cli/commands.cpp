#include "commands.h"

#include "json.h"
#include "keypad.h"
#include "keypad_names.h"
#include "keypad_state.h"
#include "link.h"
#include "poll_view.h"
#include "procedures.h"
#include "status_text.h"
#include "trace.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include <poll.h>

namespace qn480::cli {

namespace {

constexpr std::uint8_t kReaderGroup = 0x00;
constexpr std::uint8_t kCarrierOff = 0x31;
constexpr std::string_view kProgram = "qn480ctl: ";

// Request frames carry the command group and code at these offsets.
constexpr std::size_t kGroupOffset = 5;
constexpr std::size_t kCodeOffset = 6;

constexpr std::array kSettingOrder{KeypadSetting::Mode,     KeypadSetting::Type,
                                   KeypadSetting::AddType,  KeypadSetting::SendTime,
                                   KeypadSetting::ScanTime, KeypadSetting::SameTime};

// A reply that was not usable: silence or a garbled frame, or the reader's own refusal.
int failureCode(const Response &response)
{
    return response.DataLength < 0 ? kExitNoAnswer : kExitReaderError;
}

// No answer weighs more than a refusal: it usually means the wrong port or a dead reader.
int worse(int a, int b)
{
    const auto rank = [](int code) {
        return code == kExitNoAnswer ? 2 : code == kExitSuccess ? 0 : 1;
    };
    return rank(a) >= rank(b) ? a : b;
}

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

bool endsWith(const std::string &text, std::string_view tail)
{
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// " " followed by the reader's message for some status.
bool isReaderMessage(const std::string &text)
{
    if (text.size() < 2 || text[0] != ' ')
        return false;
    for (int status = 0; status <= 0xFF; ++status) {
        const std::string_view message = StatusText(static_cast<std::uint8_t>(status));
        if (!message.empty() && text.compare(1, std::string::npos, message) == 0)
            return true;
    }
    return false;
}

std::string hexText(std::span<const std::uint8_t> bytes, std::string_view separator)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0)
            text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

// A stop signal ends a keypad command before its next transaction: what went out stays
// sent, nothing more goes, and nothing is reported.
struct Stopped
{};

// What runs in the link's wait and after every command: the only "window message" the
// tool has is a stop request from a signal.
class Runner
{
public:
    Runner(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
        : m_options(options)
        , m_link(link)
        , m_io(io)
        , m_stop(stop)
    {
        Link::Trace trace;
        if (options.trace)
            trace = streamTrace(io.err, link.clock());
        m_link.setTrace(
            [this, trace](TraceDirection direction, std::span<const std::uint8_t> frame) {
                if (direction == TraceDirection::Request && frame.size() > kCodeOffset)
                    m_lastCommand = {frame[kGroupOffset], frame[kCodeOffset]};
                if (trace)
                    trace(direction, frame);
            });
    }
    ~Runner()
    {
        m_link.setTrace({});
        m_link.setPump({});
    }
    Runner(const Runner &) = delete;
    Runner &operator=(const Runner &) = delete;

    int run()
    {
        switch (m_options.command) {
        case Command::Poll:
            return poll();
        case Command::KeypadGet:
            return keypadGet();
        case Command::KeypadSet:
            return keypadSet();
        case Command::KeypadDefaults:
            return keypadDefaults();
        case Command::Raw:
            return raw();
        case Command::Help:
        case Command::Ports:
            break;
        }
        return kExitUsage;
    }

private:
    // ---- poll ----

    int poll()
    {
        struct Page
        {
            AirInterface air;
            int page;
            void (*procedure)(CardSession &);
        };
        constexpr std::array kPages{Page{AirInterface::Iso14443A, 1, readIso14443A},
                                    Page{AirInterface::Iso14443B, 2, readIso14443B},
                                    Page{AirInterface::Felica, 3, readFelica},
                                    Page{AirInterface::Iso15693, 4, readIso15693}};
        const Page &page = *std::find_if(kPages.begin(), kPages.end(),
                                         [&](const Page &p) { return p.air == m_options.air; });

        RunFlags flags;
        flags.connectTag = 1;
        int &running = flags.readTag.at(static_cast<std::size_t>(page.page));
        PollView view(m_options.air, m_options.json, m_io.out, m_io.err);
        view.setOnCard([&] {
            // A reader of our output that went away is as good as Stop.
            if ((m_options.count > 0 && view.cardsReported() >= m_options.count) || !m_io.out)
                running = 0;
        });
        m_link.setPump([&] {
            if (m_stop || outputGone())
                running = 0;
        });
        CardSession session{m_link, view, flags};
        page.procedure(session);

        // The procedure switches the carrier off only after a successful start, and ends
        // only when told to; anything else was a failed start.
        if (m_lastCommand == std::pair(kReaderGroup, kCarrierOff))
            return kExitSuccess;
        return failureCode(m_link.LastResponse());
    }

    bool outputGone() const
    {
        if (m_io.outFd < 0)
            return false;
        pollfd pfd{m_io.outFd, 0, 0};
        return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLERR | POLLHUP)) != 0;
    }

    // ---- keypad ----

    struct Outcome
    {
        int code = kExitSuccess;
        std::string message;
    };

    // Follows the keypad's status line: every operation shows a progress message, then
    // one ending in "OK!!" when its reply was accepted, else the reader's message or one of
    // its own ending in "Error!!". LastResponse is still the operation's own then.
    void followOutcomes(KeypadState &state)
    {
        state.setStatusHook([this](const std::string &text) {
            // Every operation shows a message before its transaction and after it.
            if (m_stop != 0)
                throw Stopped{};
            if (endsWith(text, "OK!!"))
                m_outcomes.push_back({kExitSuccess, trimmed(text)});
            else if (endsWith(text, "Error!!") || isReaderMessage(text))
                m_outcomes.push_back({failureCode(m_link.LastResponse()), trimmed(text)});
        });
    }

    // One Get or Set; a failure is told on stderr.
    Outcome operate(Keypad &keypad, KeypadSetting setting, bool set)
    {
        m_outcomes.clear();
        set ? keypad.set(setting) : keypad.get(setting);
        Outcome outcome = m_outcomes.size() == 1 ? m_outcomes.front()
                                                 : Outcome{kExitReaderError, "no outcome reported"};
        if (outcome.code != kExitSuccess) {
            m_io.err << kProgram << (set ? "set " : "get ") << settingName(setting) << ": "
                     << outcome.message << std::endl;
        }
        return outcome;
    }

    // Reads all six settings into `state`; returns the exit code and fills `errors`.
    int readAll(Keypad &keypad, KeypadErrors &errors)
    {
        int code = kExitSuccess;
        for (KeypadSetting setting : kSettingOrder) {
            const Outcome outcome = operate(keypad, setting, false);
            errors[static_cast<std::size_t>(setting)] =
                outcome.code == kExitSuccess ? std::string() : outcome.message;
            code = worse(code, outcome.code);
        }
        return code;
    }

    void report(const KeypadState &state, const KeypadErrors &errors)
    {
        m_io.out << keypadReport(state, errors, m_options.json) << std::endl;
    }

    int keypadGet()
    {
        KeypadState state;
        followOutcomes(state);
        Keypad keypad(m_link, state);
        KeypadErrors errors;
        const int code = readAll(keypad, errors);
        report(state, errors);
        return code;
    }

    static void applyBits(KeypadState &state, std::span<const BoxBit> bits, std::uint8_t byte)
    {
        for (const BoxBit &b : bits)
            state.setChecked(b.box, (byte & b.mask) != 0);
    }

    void applyChanges(KeypadState &state)
    {
        const KeypadChanges &c = m_options.changes;
        if (c.mode)
            applyBits(state, kModeBits, *c.mode);
        if (c.types)
            applyBits(state, kTypeBits, *c.types);
        if (c.format)
            state.selectFormat(*c.format);
        if (c.reverse) {
            state.setChecked(KeypadCheck::RevByte, *c.reverse == Reversal::Byte);
            state.setChecked(KeypadCheck::RevBit, *c.reverse == Reversal::Bit);
        }
        if (c.add)
            applyBits(state, kAdditionBits, *c.add);
        const std::array timings{std::pair(KeypadTiming::SendTime, c.sendTime),
                                 std::pair(KeypadTiming::ScanTime, c.scanTime),
                                 std::pair(KeypadTiming::SameTime, c.sameTime)};
        for (const auto &[timing, value] : timings) {
            if (value)
                state.setPosition(timing, *value);
        }
    }

    bool given(KeypadSetting setting) const
    {
        const KeypadChanges &c = m_options.changes;
        switch (setting) {
        case KeypadSetting::Mode:
            return c.mode.has_value();
        case KeypadSetting::Type:
            return c.types.has_value();
        case KeypadSetting::AddType:
            return c.touchesAddType();
        case KeypadSetting::SendTime:
            return c.sendTime.has_value();
        case KeypadSetting::ScanTime:
            return c.scanTime.has_value();
        case KeypadSetting::SameTime:
            return c.sameTime.has_value();
        }
        return false;
    }

    int keypadSet()
    {
        KeypadState state;
        followOutcomes(state);
        Keypad keypad(m_link, state);

        // The output format is one command of three parts: a part not given keeps what the
        // reader has, which only a Get can tell. Sending a guess instead would change it.
        if (m_options.changes.touchesAddType() && !m_options.changes.completeAddType()) {
            const Outcome outcome = operate(keypad, KeypadSetting::AddType, false);
            if (outcome.code != kExitSuccess) {
                m_io.err << kProgram << "nothing sent: the output format must be read before "
                         << "part of it can be changed" << std::endl;
                return outcome.code;
            }
        }
        applyChanges(state);

        int code = kExitSuccess;
        std::array<std::optional<std::string>, 6> sent;
        for (KeypadSetting setting : kSettingOrder) {
            if (!given(setting))
                continue;
            const Outcome outcome = operate(keypad, setting, true);
            code = worse(code, outcome.code);
            // A Set normalises the controls as the page does; this is what went out.
            if (outcome.code == kExitSuccess)
                sent[static_cast<std::size_t>(setting)] = settingText(state, setting);
        }

        KeypadErrors errors;
        code = worse(code, readAll(keypad, errors));
        for (KeypadSetting setting : kSettingOrder) {
            const auto i = static_cast<std::size_t>(setting);
            if (!sent[i] || !errors[i].empty())
                continue;
            const std::string kept = settingText(state, setting);
            if (kept != *sent[i]) {
                m_io.err << kProgram << "the reader kept " << settingName(setting) << " " << kept
                         << " after " << *sent[i] << " was sent" << std::endl;
                code = worse(code, kExitReaderError);
            }
        }
        report(state, errors);
        return code;
    }

    int keypadDefaults()
    {
        KeypadState state;
        m_outcomes.clear();
        followOutcomes(state);
        Keypad keypad(m_link, state);
        keypad.restoreDefaults();

        // Six Sets, then six Gets, in the page's order.
        const std::size_t count = kSettingOrder.size();
        // After a failure the page closes by showing the first one again: not an outcome.
        if (m_outcomes.size() == 2 * count + 1 && m_outcomes.back().code != kExitSuccess)
            m_outcomes.pop_back();
        KeypadErrors errors;
        int code = kExitSuccess;
        if (m_outcomes.size() != 2 * count) {
            m_io.err << kProgram << "the defaults reported " << m_outcomes.size()
                     << " outcomes instead of " << 2 * count << std::endl;
            errors.fill("not confirmed");
            code = kExitReaderError;
            m_outcomes.resize(2 * count, {kExitReaderError, "not confirmed"});
        }
        for (std::size_t i = 0; i < 2 * count; ++i) {
            const Outcome &outcome = m_outcomes[i];
            const KeypadSetting setting = kSettingOrder[i % count];
            code = worse(code, outcome.code);
            if (outcome.code == kExitSuccess)
                continue;
            m_io.err << kProgram << (i < count ? "set " : "get ") << settingName(setting) << ": "
                     << outcome.message << std::endl;
            if (i >= count)
                errors[static_cast<std::size_t>(setting)] = outcome.message;
        }
        report(state, errors);
        return code;
    }

    // ---- raw ----

    int raw()
    {
        const Reply reply = m_link.transact(m_options.group, m_options.code, m_options.data);
        if (m_stop != 0)
            throw Stopped{};
        const Response &r = reply.response;
        const std::string_view result = reply.result == TransactionResult::Frame     ? "frame"
                                        : reply.result == TransactionResult::TimeOut ? "time-out"
                                        : reply.result == TransactionResult::BadChecksum
                                            ? "bad checksum"
                                            : "no port";
        const auto data = std::span(r.Data).first(
            static_cast<std::size_t>(std::clamp(r.DataLength, 0, kFrameBufferSize)));
        const std::string_view statusText = StatusText(r.Status);
        if (m_options.json) {
            m_io.out << JsonObject()
                            .text("result", result)
                            .number("status", r.Status)
                            .text("status_text", statusText)
                            .number("data_length", r.DataLength)
                            .text("data", hexText(data, ""))
                            .str()
                     << std::endl;
        } else {
            const std::array<std::uint8_t, 1> status{r.Status};
            m_io.out << "result: " << result << "\n"
                     << "status: " << hexText(status, "") << (statusText.empty() ? "" : " ")
                     << statusText << "\n"
                     << "data: "
                     << (r.DataLength < 0 ? std::string("none (no valid frame)")
                         : data.empty()   ? std::string("none")
                                          : hexText(data, " "))
                     << std::endl;
        }
        if (r.DataLength < 0)
            return kExitNoAnswer;
        return r.Status == 1 ? kExitSuccess : kExitReaderError;
    }

    const Options &m_options;
    Link &m_link;
    Io m_io;
    const volatile std::sig_atomic_t &m_stop;
    std::pair<std::uint8_t, std::uint8_t> m_lastCommand{};
    std::vector<Outcome> m_outcomes;
};

} // namespace

int runCommand(const Options &options, Link &link, Io io, const volatile std::sig_atomic_t &stop)
{
    Runner runner(options, link, io, stop);
    try {
        return runner.run();
    } catch (const Stopped &) {
        return 128 + stop;
    }
}

int listPortsCommand(const std::vector<PortEntry> &ports, bool json, Io io)
{
    for (const PortEntry &port : ports) {
        if (json) {
            io.out << JsonObject()
                          .text("name", port.name)
                          .number("number", port.number)
                          .text("device", port.device)
                          .text("description", port.description)
                          .str();
        } else {
            io.out << port.name << '\t' << port.device << '\t' << port.description;
        }
        io.out << '\n';
    }
    io.out.flush();
    if (ports.empty())
        io.err << kProgram << "no serial ports found" << std::endl;
    return kExitSuccess;
}

} // namespace qn480::cli
