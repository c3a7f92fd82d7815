// kit-monitor: one line in words for every CanUdpFrame datagram that reaches its UDP ports (or a
// live screen, a live page over HTTP), optionally captured as a candump log, a pcap file and an
// S88 waveform, until a count, a time or
// SIGINT/SIGTERM ends it; then a summary of what came.
#include "captures.h"
#include "cli.h"
#include "live.h"
#include "monitor.h"
#include "waveform.h"
#include "web.h"

#include <csignal>
#include <cstdio>
#include <arpa/inet.h>
#include <ctime>
#include <sys/time.h>
#include <sys/ioctl.h>
#include <unistd.h>

// At most 5 redraws a second, as cansniffer; a terminal is redrawn each second for the ages.
constexpr double REDRAW_SECONDS = 0.2;
constexpr double REFRESH_SECONDS = 1.0;

static live_view view;
static unsigned long counts[KIND_COUNT];
static char screen[65536];

static void draw_screen(bool terminal, double now)
{
    int columns = 1000, lines = 1000;  // plain lines: no limit
    struct winsize size;
    if (terminal && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col && size.ws_row) {
        columns = size.ws_col;
        lines = size.ws_row;
    }
    size_t n = live_format(&view, now, columns, lines, terminal, screen, sizeof(screen));
    fwrite(screen, 1, n, stdout);
    if (!terminal)
        fputc('\n', stdout);  // an empty line between two screens
    fflush(stdout);
}

static struct timespec timespec_of(double seconds)
{
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)((seconds - (double)t.tv_sec) * 1e9);
    return t;
}

int main(int argc, char **argv)
{
    // Before any file is opened: started with standard output closed, the capture would get
    // descriptor 1 and the lines would be written into it.
    if (open_standard_streams() < 0)
        return 1;
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it happens, also into a pipe

    monitor_settings settings;
    int status = parse_monitor_options(argc, argv, &settings);
    if (status >= 0)
        return status;
    // A file size limit (ulimit -f) fills a capture as a full disk does: that capture stops,
    // the monitor goes on, rather than being killed mid-record.
    signal(SIGXFSZ, SIG_IGN);
    // Before any port is bound: a capture that cannot be written is no run at all.
    if (open_captures(settings.log_path, settings.pcap_path, settings.interface) < 0)
        return 1;
    struct timeval started;
    gettimeofday(&started, nullptr);
    if (settings.waveform_path && open_waveform(settings.waveform_path, &started) < 0)
        return 1;
    FILE *out = settings.lines || settings.live ? stdout : stderr;

    int sockets[MONITOR_MAX_PORTS];
    if (open_monitor_sockets(&settings, sockets) < 0)
        return 1;
    if (settings.web && web_start(&settings.web_address, &view, counts) < 0)
        return 1;
    catch_end_signals();  // before the line that says it is ready
    fprintf(out, "listening on UDP ports");
    for (int i = 0; i < settings.port_count; i++)
        fprintf(out, " %u", settings.ports[i]);
    char web_host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &settings.web_address.sin_addr, web_host, sizeof(web_host));
    if (settings.web)
        fprintf(out, ", HTTP on %s:%u", web_host, ntohs(settings.web_address.sin_port));
    fprintf(out, "\n");

    const double start = monotonic_seconds(), end = start + (double)settings.seconds;
    const bool terminal = settings.live && isatty(STDOUT_FILENO);
    double drawn = 0;          // when the screen was last drawn
    bool changed = true;       // something arrived since then

    live_view *fed = settings.live || settings.web ? &view : nullptr;
    long received = 0;
    status = 0;
    while (settings.count == 0 || received < settings.count) {
        double wake = settings.seconds ? end : 0;
        if (settings.live) {
            double redraw = drawn + (changed ? REDRAW_SECONDS : REFRESH_SECONDS);
            if (!wake || redraw < wake)
                wake = redraw;
        }
        wait_extra web_wait;
        if (settings.web) {
            double serve = web_wait_sets(&web_wait, monotonic_seconds());
            if (serve && (!wake || serve < wake))
                wake = serve;
        }
        struct timespec deadline = timespec_of(wake);
        fd_set ready;
        int n = wait_for_datagrams(sockets, settings.port_count, wake ? &deadline : nullptr, &ready,
                                   settings.web ? &web_wait : nullptr);
        if (n < 0)
            status = 1;
        if (n < 0 || end_requested() || (settings.seconds && monotonic_seconds() >= end))
            break;
        const long before = received;
        for (int i = 0; i < settings.port_count && n > 0; i++) {
            if (!FD_ISSET(sockets[i], &ready) || (settings.count && received == settings.count))
                continue;
            int kind = receive_datagram(sockets[i], settings.ports[i], &settings, fed);
            if (kind >= 0) {
                counts[kind]++;
                received++;
                changed = true;
            }
        }
        double now = monotonic_seconds();
        // The frames first: a browser gets its turn only once they are in.
        if (settings.web)
            web_run(n > 0 ? &ready : nullptr, &web_wait, received != before, now);
        if (settings.live && now - drawn >= (changed ? REDRAW_SECONDS : REFRESH_SECONDS) &&
            (changed || terminal)) {
            draw_screen(terminal, now);
            drawn = now;
            changed = false;
        }
    }

    if (settings.live && (terminal || changed)) {
        draw_screen(terminal, monotonic_seconds());  // what the last frames made
        if (terminal)
            fputc('\n', stdout);
    }
    web_stop();
    gettimeofday(&started, nullptr);  // now the end
    close_waveform(&started);
    print_summary(out, counts, monotonic_seconds() - start);
    // A capture that missed frames is no faithful record of the run.
    return captures_lost_frames() || waveform_lost_events() ? 1 : status;
}
