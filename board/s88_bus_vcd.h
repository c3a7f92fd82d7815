// SPDX-License-Identifier: GPL-2.0-or-later
// The virtual board's bus lines as a logic analyzer sees them: a Value Change Dump (IEEE 1364)
// of LOAD, CLOCK, RESET and DATA (their electrical levels, on the pins of the bus script), one
// file per bus, for GTKWave, PulseView or sigrok-cli. The time is this machine's monotonic clock
// at each store the emulator plays, in nanoseconds since the bus was attached: the order and
// number of edges are the reporter's, their spacing the emulator's, slower than the board's.
#pragma once

#include "s88_board.h"

#include <cstdint>
#include <cstdio>

// Past this the file stops (a long run clocks millions of edges), with a comment saying so.
constexpr long S88_VCD_MAX_BYTES = 64L << 20;

struct S88Vcd {
    FILE *file = nullptr;
    uint64_t start_ns = 0, last_ns = 0;
    long bytes = 0;
    int levels = -1;  // bit per line (S88Line), -1 before the first
    bool stopped = false;
};

// Creates path with its header for the bus board (named in the scope), time 0 at now_ns.
// False when it cannot be created.
bool s88_vcd_open(S88Vcd *vcd, const char *path, const S88Board &board, uint64_t now_ns);

// The four lines' levels in page after a store at now_ns: written when one changed.
void s88_vcd_step(S88Vcd *vcd, const S88Board &board, volatile uint32_t *page, uint64_t now_ns);

// Ends the file with the time now_ns and closes it.
void s88_vcd_close(S88Vcd *vcd, uint64_t now_ns);
