// SPDX-License-Identifier: GPL-2.0-or-later
#include "lines.h"

#include "stdout_queue.h"
#include "tally.h"

#include <cstdio>
#include <cstring>

// A burst's lines wait here until flush: by then the captures have written the burst, so a
// reader that sees a line finds its frame in the files.
static char batch[256 * 1024];
static size_t batch_used;
static int with_hex;
static unsigned long gap;  // lines not shown since the last one that was

static void put_line(const char *line, size_t length)
{
    if (gap) {
        char note[96];
        int n = snprintf(note, sizeof(note), "(%lu lines not shown: standard output did not take them)\n", gap);
        if (!stdout_put(note, (size_t)n)) {
            gap++;
            tally.lines_not_shown++;
            return;
        }
        gap = 0;
    }
    if (stdout_put(line, length)) {
        gap = 0;
        return;
    }
    gap++;
    tally.lines_not_shown++;
}

static void flush(double)
{
    for (size_t at = 0; at < batch_used;) {
        size_t length = (size_t)((char *)memchr(batch + at, '\n', batch_used - at) - (batch + at)) + 1;
        put_line(batch + at, length);
        at += length;
    }
    batch_used = 0;
    stdout_flush();
}

static void take(const monitor_record *record)
{
    if (sizeof(batch) - batch_used < MONITOR_LINE_SIZE + 1)
        flush(0);  // more than a burst ever brings
    size_t n = format_line(record, with_hex, batch + batch_used, MONITOR_LINE_SIZE);
    batch[batch_used + n] = '\n';
    batch_used += n + 1;
}

const monitor_output *lines_output(int hex)
{
    with_hex = hex;
    static const monitor_output output = {take, flush, nullptr, nullptr, nullptr, flush};
    return &output;
}
