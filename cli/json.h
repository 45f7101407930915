// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// hexText now lives with the other text helpers; this include goes once its last users
// name text_util.h themselves.
#include "text_util.h"
