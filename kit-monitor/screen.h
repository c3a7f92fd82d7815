// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor -l: the live view drawn on standard output in place of the lines, at most 5 times
// a second, and each second on a terminal for the ages. A screen is drawn only once the last one
// is out: a terminal stopped with Ctrl-S misses screens, not datagrams.
#pragma once

#include "output.h"

const monitor_output *screen_output();
