// SPDX-License-Identifier: GPL-3.0-or-later
// The window on qn480-sim's reader model over a real pseudo-terminal: the termios port,
// the link and the window together.

#include "application.h"
#include "faults.h"
#include "pty_server.h"
#include "reader_model.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qn480 {
namespace {

constexpr std::chrono::milliseconds kWatch{10};
constexpr std::chrono::seconds kGiveUp{10};

class PtyConnectTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_server.open(&error)) << error;
        m_thread = std::thread([this] { m_server.run(); });
    }

    void TearDown() override
    {
        m_server.stop();
        m_thread.join();
    }

    FrmMainDependencies dependencies()
    {
        const std::string slave = m_server.slavePath();
        return {.listPorts = [slave] {
            return std::vector<PortEntry>{{"COM20", 20, slave, "qn480-sim"}};
        }};
    }

    sim::ReaderModel m_model;
    sim::FaultInjector m_faults;
    sim::PtyServer m_server{m_model, m_faults};
    std::thread m_thread;
};

TEST_F(PtyConnectTest, ConnectsReadsACardAndTheSettingsAndDisconnects)
{
    TfrmMain form(dependencies());
    form.show();
    auto button = [&](const char *name) {
        return form.findChild<QAbstractButton *>(QLatin1String(name));
    };

    QTest::mouseClick(button("btn_Connect"), Qt::LeftButton);
    ASSERT_EQ(form.statusText(), " Connect OK!! ");

    // Poll until the card shows, then press Stop as the operator would.
    auto *uid = form.findChild<QLineEdit *>("edt_14443A_UID");
    QTimer watch;
    const auto start = std::chrono::steady_clock::now();
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!uid->text().isEmpty() || std::chrono::steady_clock::now() - start > kGiveUp)
            QTest::mouseClick(button("btn_Stop01"), Qt::LeftButton);
    });
    watch.start(kWatch);
    QTest::mouseClick(button("btn_Read01"), Qt::LeftButton);
    watch.stop();
    EXPECT_EQ(uid->text().size(), 16);
    EXPECT_FALSE(form.findChild<QLineEdit *>("edt_14443A_CardType")->text().isEmpty());
    EXPECT_EQ(form.statusText(), " ");
    EXPECT_FALSE(m_model.carrier());

    // The simulator starts with the settings the "default" button writes.
    auto *pages = form.findChild<QTabWidget *>("pcMain");
    pages->setCurrentWidget(form.findChild<QWidget *>("ts_SetKeypad"));
    for (const char *name : {"chk01_Auto", "chk01_Beep", "chk01_Led", "chk01_Same", "chk02_43A",
                             "chk02_Guid", "rbn03_8H", "chk03_Enter"})
        EXPECT_TRUE(button(name)->isChecked()) << name;
    EXPECT_EQ(form.findChild<QLabel *>("pnlScanTime")->text(), "5");
    EXPECT_EQ(form.findChild<QLabel *>("pnlSameTime")->text(), "15");

    QTest::mouseClick(button("btn_Connect"), Qt::LeftButton);
    EXPECT_EQ(form.statusText(), " ");
    EXPECT_FALSE(form.link().hasPort());
}

} // namespace
} // namespace qn480
