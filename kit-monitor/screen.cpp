// SPDX-License-Identifier: GPL-2.0-or-later
#include "screen.h"

#include "live.h"
#include "stdout_queue.h"

#include <sys/ioctl.h>
#include <unistd.h>

// At most 5 redraws a second, as cansniffer; a terminal is redrawn each second for the ages.
constexpr double REDRAW_SECONDS = 0.2;
constexpr double REFRESH_SECONDS = 1.0;

static bool terminal, changed = true;
static double drawn;  // when the screen was last drawn
static char screen[65536];

static void draw(double now)
{
    int columns = 1000, lines = 1000;  // plain lines: no limit
    struct winsize size;
    if (terminal && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col && size.ws_row) {
        columns = size.ws_col;
        lines = size.ws_row;
    }
    size_t n = live_format(&view, now, columns, lines, terminal, screen, sizeof(screen) - 1);
    if (!terminal)
        screen[n++] = '\n';  // an empty line between two screens
    stdout_put(screen, n);
    stdout_flush();
    drawn = now;
    changed = false;
}

static void take(const monitor_record *)
{
    changed = true;
}

static double due(double now)
{
    if (!changed && !terminal)
        return 0;
    if (!stdout_idle())  // the last screen is not out yet: look again later
        return now + REDRAW_SECONDS;
    return drawn + (changed ? REDRAW_SECONDS : REFRESH_SECONDS);
}

static void flush(double now)
{
    double at = due(now);
    if (at && now >= at)
        draw(now);
}

static void end(double now)
{
    if (terminal || changed) {
        draw(now);  // what the last frames made
        if (terminal)
            stdout_put("\n", 1);
    }
}

const monitor_output *screen_output()
{
    terminal = isatty(STDOUT_FILENO);
    static const monitor_output output = {take, flush, due, nullptr, nullptr, end};
    return &output;
}
