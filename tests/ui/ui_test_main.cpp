// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"

#include <QStandardPaths>

#include <gtest/gtest.h>

// The widget tests need the tool's own application object: its notify() is under test too.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // Settings and card logs left at their defaults go to Qt's test folders, never the
    // operator's own.
    QStandardPaths::setTestModeEnabled(true);
    qn480::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
