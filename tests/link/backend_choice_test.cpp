// SPDX-License-Identifier: GPL-3.0-or-later
// Which serial backend a program gets. Built twice: against the link as this platform builds
// it, and against the link built as on a platform without Linux's files.
#include "serial_platform.h"
#include "serial_port.h"

#include <QByteArray>
#include <QtGlobal>

#include <gtest/gtest.h>

#include <string>

namespace qn480 {
namespace {

TEST(SerialBackendChoice, TheVariableChoosesAndAnythingElseFallsBackWithOneWarning)
{
    const bool termios = platform::hasTermiosPort();
    const SerialBackend fallback = termios ? SerialBackend::Termios : SerialBackend::Qt;
    const struct
    {
        const char *value;
        SerialBackend expected;
    } cases[] = {
        {nullptr, fallback},         {"", fallback},        {"qt", SerialBackend::Qt},
        {" Qt ", SerialBackend::Qt}, {"termios", fallback}, {"serial", fallback},
        {"termios", fallback},
    };

    ::testing::internal::CaptureStderr();
    for (const auto &c : cases) {
        if (c.value)
            qputenv("QN480_SERIAL_BACKEND", QByteArray(c.value));
        else
            qunsetenv("QN480_SERIAL_BACKEND");
        EXPECT_EQ(serialBackend(), c.expected) << (c.value ? c.value : "(unset)");
    }
    qunsetenv("QN480_SERIAL_BACKEND");
    const std::string told = ::testing::internal::GetCapturedStderr();

    // Once per process, naming what was refused and what is used instead.
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
    EXPECT_NE(told.find(termios ? "\"serial\"" : "\"termios\""), std::string::npos) << told;
    EXPECT_NE(told.find(std::string("using ") + std::string(backendName(fallback))),
              std::string::npos)
        << told;

    if (!termios) {
        OpenFailure failure;
        EXPECT_FALSE(openSerialDevice("COM1", {}, SerialBackend::Termios, &failure));
        EXPECT_NE(failure.reason.find("QN480_SERIAL_BACKEND=qt"), std::string::npos);
    }
}

} // namespace
} // namespace qn480
