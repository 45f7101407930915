// SPDX-License-Identifier: GPL-3.0-or-later
// Forced into the shared link sources of link_portable_test: Linux's serial calls fail the
// build there, so that they stay in the files only Linux builds.
#pragma once
#pragma GCC poison termios tcgetattr tcsetattr tcflush cfmakeraw cfsetispeed cfsetospeed
#pragma GCC poison ioctl flock ppoll
