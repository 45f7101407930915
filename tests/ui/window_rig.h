// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "application.h"
#include "fake_reader.h"
#include "frm_main.h"
#include "private_dir.h"

#include <QAbstractButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qn480::testing {

// A window on a scripted reader: its port list and its OpenPort are fakes, and the link
// runs on a fake clock, so time-outs cost nothing.
class WindowRig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_app = qobject_cast<Application *>(QCoreApplication::instance());
        ASSERT_NE(m_app, nullptr);
        m_app->setReporter([this](const QString &message) { reported.push_back(message); });
    }

    void TearDown() override
    {
        m_window.reset();
        m_app->setReporter(&Application::showInMessageBox);
    }

    FrmMainDependencies dependencies()
    {
        FrmMainDependencies deps{.cardLogSettings = &logSettings,
                                 .cardLogPath = logDir.path() / "cards.jsonl",
                                 .presenceClock = clock,
                                 .listPorts = [this] { return ports; },
                                 .openPort =
                                     [this](Link &link, const std::vector<PortEntry> &, int number,
                                            std::string_view settings, OpenFailure *failure) {
                                         openedNumber = number;
                                         openedSettings = std::string(settings);
                                         if (openThrows) {
                                             openThrows = false;
                                             throw std::runtime_error("port exploded");
                                         }
                                         if (!openSucceeds) {
                                             if (failure)
                                                 failure->reason = "Device or resource busy";
                                             return false;
                                         }
                                         link.attach(reader.port());
                                         return true;
                                     },
                                 .clock = clock};
        return deps;
    }

    TfrmMain &window()
    {
        if (!m_window) {
            m_window = std::make_unique<TfrmMain>(dependencies());
            m_window->show();
        }
        return *m_window;
    }

    template <typename W> W *child(const char *name)
    {
        W *widget = window().findChild<W *>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    void click(const char *name)
    {
        QTest::mouseClick(child<QAbstractButton>(name), Qt::LeftButton);
    }
    bool enabled(const char *name) { return child<QWidget>(name)->isEnabled(); }

    void connectReader()
    {
        click("btn_Connect");
        ASSERT_TRUE(window().connected());
    }

    void showPage(const char *name)
    {
        auto *pages = child<QTabWidget>("pcMain");
        pages->setCurrentWidget(child<QWidget>(name));
    }

    // A Type A card the reader keeps answering for: 4-byte UID 12 34 56 78, SAK 08, no
    // answer to select.
    void typeACardInField()
    {
        reader.always(0x0A, 0x00, 1);
        reader.always(0x00, 0x30, 1);
        reader.always(0x00, 0x31, 1);
        reader.always(0x0A, 0x10, 1, hex("04 00"));
        reader.always(0x0A, 0x12, 1, hex("12 34 56 78"));
        reader.always(0x0A, 0x13, 1, hex("08"));
        reader.alwaysSilent(0x0A, 0x15);
    }

    // Runs `action` from the window's event processing once `group`/`code` has been asked
    // `times` times, as an operator's click would arrive while the loop waits.
    void whenAsked(std::uint8_t group, std::uint8_t code, int times, std::function<void()> action)
    {
        reader.onRequest([=, this, done = false](const Bytes &) mutable {
            if (!done && reader.count(group, code) >= times) {
                done = true;
                QTimer::singleShot(0, m_window.get(), action);
            }
        });
    }

    FakeClock clock;
    FakeReader reader{clock};
    // The card log's choice and file, kept apart from the tool's own.
    PrivateDir logDir;
    QSettings logSettings{QString::fromStdString(logDir / "tool.ini"), QSettings::IniFormat};
    std::vector<PortEntry> ports{{"COM03", 3, "/dev/ttyS2", "16550A UART"},
                                 {"COM07", 7, "/dev/ttyUSB0", "FTDI FT232R"}};
    bool openSucceeds = true;
    bool openThrows = false;
    int openedNumber = -1;
    std::string openedSettings;
    std::vector<QString> reported;

private:
    Application *m_app = nullptr;
    std::unique_ptr<TfrmMain> m_window;
};

} // namespace qn480::testing
