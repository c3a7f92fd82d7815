// SPDX-License-Identifier: GPL-2.0-or-later
// What kit-monitor received and what it lost, for the summary, /state and the page. One tally
// for the run; the receive loop counts datagrams and the kernel's drops, each output what it
// could not take.
#pragma once

#include "decode.h"
#include "options.h"

#include <cstdio>

struct port_tally {
    uint16_t port;
    unsigned long datagrams;
    unsigned long dropped;  // by the kernel, its receive queue full (SO_RXQ_OVFL)
};

// An output that keeps a file: frames it could not write, and why it stopped.
struct capture_tally {
    const char *name;       // the file's name ("standard output" for -L -); null: no capture
    unsigned long not_captured;
    char why[64];           // the error that stopped it, "" while it takes frames
};

enum { CAPTURE_LOG, CAPTURE_PCAP, CAPTURE_WAVEFORM, CAPTURE_COUNT };

struct monitor_tally {
    unsigned long kinds[KIND_COUNT];
    port_tally ports[MONITOR_MAX_PORTS];
    int port_count;
    unsigned long lines_not_shown;  // lines standard output did not take
    char stdout_why[64];            // its error, "" if none
    capture_tally captures[CAPTURE_COUNT];
};

extern monitor_tally tally;

unsigned long tally_datagrams();
unsigned long tally_dropped();
unsigned long tally_not_captured();
// Whether anything was lost: the run then ends with status 1.
bool tally_lost();

// "summary: 7 datagrams in 30.0 s: s88-event=4 beacon=3 loco-speed=0 ... bad-length=0"
void format_summary(double seconds, char *text, size_t size);

// "lost: none", or what was lost, where and why:
//   "lost: 2038 dropped by the kernel on port 15730 (receive queue full); 12 lines not shown
//    (standard output did not take them); 3 frames not in s.pcap (No space left on device)"
void format_losses(char *text, size_t size);
