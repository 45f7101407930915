// SPDX-License-Identifier: GPL-3.0-or-later
#include "application.h"

#include <QStandardPaths>

#include <gtest/gtest.h>

// The window needs the tool's own application object, as it runs in the tool.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // The card log's settings and file go to Qt's test folders, never the operator's own.
    QStandardPaths::setTestModeEnabled(true);
    qn480::Application app(argc, argv);
    return RUN_ALL_TESTS();
}
