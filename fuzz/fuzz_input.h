// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace qn480::fuzz {

// The fuzz input read front to back, so that a seed can be written by hand in the order
// the target takes its bytes. Past the end every read gives zeros.
class FuzzInput
{
public:
    explicit FuzzInput(std::span<const std::uint8_t> data)
        : m_data(data)
    {}

    bool empty() const { return m_pos >= m_data.size(); }

    std::uint8_t byte() { return empty() ? 0 : m_data[m_pos++]; }

    // A value from `low` to `high`, both included.
    int inRange(int low, int high)
    {
        const int span = high - low + 1;
        const int raw = span > 256 ? byte() * 256 + byte() : byte();
        return low + raw % span;
    }

    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        const std::size_t n = std::min(count, m_data.size() - std::min(m_pos, m_data.size()));
        std::vector<std::uint8_t> out(m_data.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                      m_data.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return out;
    }

private:
    std::span<const std::uint8_t> m_data;
    std::size_t m_pos = 0;
};

} // namespace qn480::fuzz
