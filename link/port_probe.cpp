// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_probe.h"

#include "clock.h"
#include "frame.h"
#include "port.h"
#include "serial_port.h"

#include <algorithm>
#include <array>
#include <vector>

namespace qn480 {

namespace {

// The keypad's Get of the mode: it only reads, and every QN480 answers it.
constexpr std::uint8_t kKeypadGroup = 0x00;
constexpr std::uint8_t kGetModeCode = 0x10;

} // namespace

bool answersAsReader(Port &port, Clock &clock, std::chrono::milliseconds timeout)
{
    const std::vector<std::uint8_t> request = buildRequest(kKeypadGroup, kGetModeCode, {});
    FrameAssembler assembler;
    // A modem or an adapter that echoes the line gives our own bytes back; only the reader
    // answers with the request's group and code and a status byte after them.
    assembler.setFilter([&request](std::span<const std::uint8_t> frame) {
        return !std::ranges::equal(frame, request) && frame.size() > kIdentifiedFrame &&
               frame[5] == kKeypadGroup && frame[6] == kGetModeCode;
    });
    port.purge();
    port.write(request);

    const auto deadline = clock.now() + timeout;
    std::array<std::uint8_t, kFrameBufferSize> chunk{};
    Response response;
    while (!port.deviceLost()) {
        const int queued = port.queued();
        if (queued > 0) {
            const int got = port.read(std::span(chunk).first(
                static_cast<std::size_t>(std::min(queued, kFrameBufferSize))));
            for (int i = 0; i < got; ++i) {
                if (assembler.feed(chunk[static_cast<std::size_t>(i)], response) ==
                    TransactionResult::Frame)
                    return true;
            }
        }
        const auto left = deadline - clock.now();
        if (left <= std::chrono::nanoseconds::zero())
            return false;
        port.waitReadable(left);
    }
    return false;
}

Probe probePort(const PortEntry &port)
{
    OpenFailure failure;
    const auto opened =
        openSerialDevice(port.device, *parseLineSettings(kReaderSettings), &failure);
    if (!opened)
        return {std::nullopt, failure.reason};
    return {answersAsReader(*opened, steadyClock()), {}};
}

} // namespace qn480
