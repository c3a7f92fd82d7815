// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's receive loop: one UDP socket per port, the end signals, the wait, and the
// datagrams taken from a socket in bursts as decoded records. The outputs never include this:
// they get the records through output.h.
#pragma once

#include "decode.h"
#include "options.h"

#include <sys/select.h>

// Datagrams taken from one socket at a time, at most.
constexpr int RECEIVE_BURST = 64;
// After a burst the sockets wait this long before the next one: a busy port is then taken many
// datagrams a call, not one a wake-up. The kernel's queue holds them meanwhile, and the
// arrival time of each is the kernel's.
constexpr double RECEIVE_PACE_SECONDS = 0.005;
// The receive queue asked for per port: about a second at 6,250 datagrams a second.
constexpr int RECEIVE_QUEUE_BYTES = 4 << 20;

// Binds one UDP socket to 0.0.0.0 on each port of settings, in order, into sockets[], each
// reporting the kernel's drops with every datagram; enters the ports into the tally. Returns 0,
// or -1 after "UDP socket error: %s\n" or "cannot bind UDP port %u: %s\n".
int open_monitor_sockets(const monitor_settings *settings, int *sockets);

// SIGINT, SIGTERM and SIGHUP (unless ignored, as under nohup) end the run: they stay blocked
// except while wait_for_datagrams waits.
void catch_end_signals();
// Set once an end signal came.
bool end_requested();

// Waits until one of count descriptors is ready (the first socket_count are the sockets, left
// out of the wait until the monotonic time hold_until), a signal came, or the monotonic time
// passes deadline (0: none). Returns the number of ready descriptors (marked in ready), 0 when
// the time is up or a signal came, -1 after "select error: %s\n".
int wait_for_datagrams(const int *fds, int socket_count, int count, double hold_until, double deadline,
                       fd_set *ready);

// Takes at most max (up to RECEIVE_BURST) datagrams waiting on sockets[index] into records,
// decoded, with the time and sender of each; the kernel's drops on that port go into the tally.
// Returns how many, or -1 after "UDP receive error: %s\n".
int receive_burst(int socket, int index, monitor_record *records, int max);

// The kernel's drops on each socket up to now, into the tally: the ones after the last datagram
// too, which no datagram reports.
void count_kernel_drops(const int *sockets, int count);

// Seconds on the monotonic clock.
double monotonic_seconds();
