// SPDX-License-Identifier: GPL-2.0-or-later
#include "tally.h"

#include <cstring>

monitor_tally tally;

unsigned long tally_datagrams()
{
    unsigned long total = 0;
    for (unsigned long n : tally.kinds)
        total += n;
    return total;
}

unsigned long tally_dropped()
{
    unsigned long total = 0;
    for (int i = 0; i < tally.port_count; i++)
        total += tally.ports[i].dropped;
    return total;
}

unsigned long tally_not_captured()
{
    unsigned long total = 0;
    for (const capture_tally &capture : tally.captures)
        total += capture.not_captured;
    return total;
}

bool tally_lost()
{
    bool stopped = false;
    for (const capture_tally &capture : tally.captures)
        stopped = stopped || capture.why[0];
    return tally_dropped() || tally.lines_not_shown || tally.stdout_why[0] || tally_not_captured() || stopped;
}

void format_summary(double seconds, char *text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    put_text(text, size, &used, "summary: %lu datagrams in %.1f s:", tally_datagrams(), seconds);
    for (int k = 0; k < KIND_COUNT; k++)
        put_text(text, size, &used, " %s=%lu", kind_name(k), tally.kinds[k]);
}

void format_losses(char *text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    put_text(text, size, &used, "lost:");
    const char *separator = " ";
    for (int i = 0; i < tally.port_count; i++) {
        if (!tally.ports[i].dropped)
            continue;
        put_text(text, size, &used, "%s%lu dropped by the kernel on port %u (receive queue full)", separator,
                 tally.ports[i].dropped, tally.ports[i].port);
        separator = "; ";
    }
    if (tally.lines_not_shown || tally.stdout_why[0]) {
        put_text(text, size, &used, "%s%lu lines not shown (standard output%s%s)", separator, tally.lines_not_shown,
                 tally.stdout_why[0] ? ": " : " did not take them", tally.stdout_why);
        separator = "; ";
    }
    for (const capture_tally &capture : tally.captures) {
        if (!capture.not_captured && !capture.why[0])
            continue;
        put_text(text, size, &used, "%s%lu frames not in %s (%s)", separator, capture.not_captured, capture.name,
                 capture.why[0] ? capture.why : "standard output did not take them");
        separator = "; ";
    }
    if (!tally_lost())
        put_text(text, size, &used, " none");
}
