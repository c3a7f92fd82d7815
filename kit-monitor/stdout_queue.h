// SPDX-License-Identifier: GPL-2.0-or-later
// Standard output that never holds kit-monitor up: text is queued here and written by a thread
// of its own, so a reader that stalls (a pipe into less scrolled back, a terminal stopped with
// Ctrl-S) stops only what it reads, not the receiving and the captures. What does not fit the
// queue is refused, for the caller to count.
#pragma once

#include <cstddef>

constexpr size_t STDOUT_QUEUE_SIZE = 1 << 20;

// Starts the writer, with every signal but SIGPIPE blocked in it.
void stdout_start();

// Queues the whole text, or nothing: false when it does not fit or standard output failed.
// Before stdout_start, writes it at once.
bool stdout_put(const char *text, size_t length);

// Hands what is queued to the writer; the outputs call it once per burst.
void stdout_flush();

// Whether everything queued has been written.
bool stdout_idle();

// Waits at most seconds until everything queued is written or standard output failed, and up
// to busy_seconds while standard output could take more (a busy machine, not a stalled
// reader); returns whether it was all written.
bool stdout_drain(double seconds, double busy_seconds);

// The lines (newlines) queued and not written: at the end, they are lost.
unsigned long stdout_unwritten();

// The error that stopped standard output ("No space left on device"), or "" while it takes text.
// The writer has said "cannot write standard output: REASON" on standard error once.
const char *stdout_error();
