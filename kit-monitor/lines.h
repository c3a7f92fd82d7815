// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's lines: one per datagram on standard output, in words. A line standard output
// cannot take now is not waited for: it is counted, and the next line that goes out after such
// a gap is preceded by one saying how many were not shown.
#pragma once

#include "output.h"

// The lines output; hex: -x.
const monitor_output *lines_output(int hex);
