// SPDX-License-Identifier: GPL-2.0-or-later
// What the receive loop hands to each of kit-monitor's outputs (the lines, the captures, the
// waveform, the live view, its screen and its page), and all it asks of them. None of them
// waits: a file is written as the disk takes it, standard output through its queue, a browser
// as its connection takes it.
#pragma once

#include "decode.h"

struct monitor_output {
    // One datagram, in the order they came.
    void (*take)(const monitor_record *record);
    // After each wait (a burst is in, or the time came): write, draw or push what is due at now
    // (monotonic seconds).
    void (*flush)(double now);
    // When flush must run again though no datagram comes; 0 for no need.
    double (*due)(double now);
    // A descriptor to wait for beside the sockets, or -1; serve runs when the wait found it ready.
    int (*descriptor)();
    void (*serve)(double now);
    // The run is over: last writes, close.
    void (*end)(double now);
};
