// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor -H: the live page over HTTP (libmicrohttpd in its epoll mode, run from the receive
// loop's wait: one thread, no locks). "/" is the page, "/state" the state as JSON, "/events" the
// same state as Server-Sent Events, pushed at most 5 times a second and at least once a second.
// Every response is made without blocking: a browser that reads slowly only gets fewer events.
// No single host can hold the page down: each address has a few connections at most, and one
// that is not an event stream is closed when idle for a short while.
#pragma once

#include "live.h"
#include "output.h"

#include <netinet/in.h>

constexpr int WEB_MAX_CONNECTIONS = 64;
constexpr int WEB_MAX_PER_ADDRESS = 8;
constexpr int WEB_MAX_STREAMS = 32;
constexpr unsigned WEB_IDLE_SECONDS = 3;           // a request that does not come on, or a page loaded
constexpr unsigned WEB_STREAM_IDLE_SECONDS = 10;   // an event stream the browser stopped reading
constexpr size_t WEB_HEADER_LIMIT = 16 * 1024;     // a request's line and header beyond this: 431
constexpr double WEB_PUSH_SECONDS = 0.2;           // at most 5 events a second after a change
constexpr double WEB_REFRESH_SECONDS = 1.0;        // the ages move on without any change
constexpr double WEB_STATE_SECONDS = 0.1;          // /state is made anew at most this often

// The state as JSON text (malloc'd; null when out of memory) at now, with the tally's counts
// and losses; the manual page gives the schema:
//   {"contacts": {"13": 1, ...}, "counts": {"s88-event": 16, ...}, "datagrams": 16, "frames": 16,
//    "lost": {...}, "ports": [...], "boards": [...], "modules": [...], "ids": [...], "recent": [...]}
char *web_state_json(const live_view *view, double now);

// Listens at address and serves the live view. Returns the output, or null after
// "cannot serve HTTP on ADDRESS:PORT: REASON".
const monitor_output *web_output(const struct sockaddr_in *address);
