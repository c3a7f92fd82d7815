// kit-monitor -H: the live page over HTTP (libmicrohttpd, run from kit-monitor's own select
// loop, so one thread and no locks). "/" is the page, "/state" the state as JSON, "/events" the
// same state as Server-Sent Events, pushed at most 5 times a second and at least once a second.
// Every response is made from the view without blocking: a browser that reads slowly only
// gets fewer events, and one that stalls is closed after WEB_TIMEOUT_SECONDS.
#pragma once

#include "live.h"
#include "monitor.h"

#include <netinet/in.h>

constexpr int WEB_MAX_CONNECTIONS = 64;
constexpr int WEB_MAX_STREAMS = 32;
constexpr unsigned WEB_TIMEOUT_SECONDS = 10;       // a connection idle this long is closed
constexpr size_t WEB_REQUEST_MEMORY = 16 * 1024;   // a request's header beyond this is refused
constexpr double WEB_PUSH_SECONDS = 0.2;           // at most 5 events a second after a change
constexpr double WEB_REFRESH_SECONDS = 1.0;        // the ages move on without any change

// The state as JSON text (malloc'd; null when out of memory) at now, with the counts by kind:
//   {"contacts": {"13": 1, ...}, "counts": {"s88-event": 16, ...}, "datagrams": 16,
//    "frames": 16, "modules": [...], "ids": [...], "recent": [...], "ids_not_shown": 0}
// The manual page gives the schema.
char *web_state_json(const live_view *view, const unsigned long *counts, double now);

// Listens at address and serves view and counts (both live for the run). Returns 0, or -1
// after "cannot serve HTTP on ADDRESS:PORT: REASON".
int web_start(const struct sockaddr_in *address, const live_view *view, const unsigned long *counts);

// Adds the server's descriptors to extra; returns the monotonic time by which web_run must run
// again (0: no need).
double web_wait_sets(wait_extra *extra, double now);

// Serves what the wait found ready (ready null: nothing ready, only the time passed), and
// pushes the state to the event streams when due; changed: a datagram came since the last call.
void web_run(const fd_set *ready, const wait_extra *extra, bool changed, double now);

// Closes every connection and the listening socket.
void web_stop();
