// SPDX-License-Identifier: GPL-3.0-or-later
#include "fake_reader.h"

#include "frame.h"
#include "text_util.h"

#include <cctype>
#include <stdexcept>

namespace qn480::testing {

Bytes hex(std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    }
    const auto bytes = hexBytes(digits);
    if (!bytes)
        throw std::invalid_argument("not hexadecimal bytes: " + std::string(text));
    return *bytes;
}

std::string hexText(std::span<const std::uint8_t> bytes)
{
    return qn480::hexText(bytes, " ");
}

Bytes responseFrame(std::uint8_t group, std::uint8_t code, std::uint8_t status, const Bytes &data)
{
    const std::size_t len = data.size() + 5;
    Bytes f{0xAA,  std::uint8_t(len >> 8), std::uint8_t(len & 0xFF), 0x00, 0x00, group, code,
            status};
    for (std::uint8_t b : data) // not insert(): GCC 12 sees a copy out of bounds in it
        f.push_back(b);
    f.push_back(xorChecksum(std::span(f).subspan(1)));
    return f;
}

class FakePort final : public Port
{
public:
    explicit FakePort(FakeReader &reader)
        : m_reader(reader)
    {}

    void purge() override
    {
        // Only what has arrived can be discarded; later bytes are still on the wire.
        auto &line = m_reader.m_line;
        while (!line.empty() && line.front().at <= m_reader.m_clock.now())
            line.pop_front();
    }
    void write(std::span<const std::uint8_t> bytes) override { m_reader.received(bytes); }
    int queued() override { return m_reader.m_hungUp ? 0 : m_reader.arrived(); }
    int read(std::span<std::uint8_t> bytes) override
    {
        const int n = std::min<int>(static_cast<int>(bytes.size()), m_reader.arrived());
        for (int i = 0; i < n; ++i) {
            bytes[static_cast<std::size_t>(i)] = m_reader.m_line.front().byte;
            m_reader.m_line.pop_front();
        }
        return n;
    }
    void waitReadable(std::chrono::nanoseconds slice) override
    {
        ++m_reader.m_waits;
        FakeClock &clock = m_reader.m_clock;
        if (!m_reader.m_hungUp && m_reader.arrived() > 0)
            return;
        const auto deadline = clock.now() + slice;
        if (!m_reader.m_hungUp && !m_reader.m_line.empty() &&
            m_reader.m_line.front().at <= deadline) {
            clock.advanceTo(m_reader.m_line.front().at);
            return;
        }
        clock.advanceTo(deadline);
    }
    bool deviceLost() const override { return m_reader.m_lost; }
    bool checkDevice() override
    {
        m_reader.m_lost = m_reader.m_lost || m_reader.m_nodeGone;
        return m_reader.m_lost;
    }

private:
    FakeReader &m_reader;
};

std::unique_ptr<Port> FakeReader::port()
{
    return std::make_unique<FakePort>(*this);
}

void FakeReader::answer(std::uint8_t group, std::uint8_t code, std::uint8_t status,
                        const Bytes &data)
{
    m_once[{group, code}].push_back(responseFrame(group, code, status, data));
}

void FakeReader::answerRaw(std::uint8_t group, std::uint8_t code, const Bytes &bytes)
{
    m_once[{group, code}].push_back(bytes);
}

void FakeReader::silence(std::uint8_t group, std::uint8_t code)
{
    m_once[{group, code}].push_back(std::nullopt);
}

void FakeReader::always(std::uint8_t group, std::uint8_t code, std::uint8_t status,
                        const Bytes &data)
{
    m_standing[{group, code}] = responseFrame(group, code, status, data);
}

void FakeReader::alwaysSilent(std::uint8_t group, std::uint8_t code)
{
    m_standing[{group, code}] = std::nullopt;
}

void FakeReader::deliver(const Bytes &bytes, std::chrono::nanoseconds after)
{
    auto at = m_clock.now() + after;
    if (!m_line.empty() && m_line.back().at > at)
        at = m_line.back().at;
    for (std::uint8_t b : bytes)
        m_line.push_back({at, b});
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> FakeReader::commands() const
{
    std::vector<Key> out;
    for (const Bytes &r : m_requests)
        out.emplace_back(r.size() > 6 ? r[5] : 0, r.size() > 6 ? r[6] : 0);
    return out;
}

int FakeReader::count(std::uint8_t group, std::uint8_t code) const
{
    int n = 0;
    for (const Key &k : commands())
        n += k == Key{group, code} ? 1 : 0;
    return n;
}

void FakeReader::received(std::span<const std::uint8_t> request)
{
    m_requests.emplace_back(request.begin(), request.end());
    if (m_echo)
        deliver(m_requests.back());
    if (request.size() >= 8 && !m_hungUp) {
        const Key key{request[5], request[6]};
        std::optional<Bytes> reply;
        if (auto it = m_once.find(key); it != m_once.end() && !it->second.empty()) {
            reply = it->second.front();
            it->second.pop_front();
        } else if (auto st = m_standing.find(key); st != m_standing.end()) {
            reply = st->second;
        }
        if (reply)
            deliver(*reply, m_delay);
    }
    if (m_hook)
        m_hook(m_requests.back());
}

int FakeReader::arrived() const
{
    int n = 0;
    for (const Arrival &a : m_line) {
        if (a.at > m_clock.now())
            break;
        ++n;
    }
    return n;
}

} // namespace qn480::testing
