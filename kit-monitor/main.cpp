// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor: one line in words for every CanUdpFrame datagram that reaches its UDP ports (or a
// live screen, a live page over HTTP), optionally captured as a candump log, a pcap file and an
// S88 waveform, until a count, a time or SIGINT/SIGTERM ends it; then a summary of what came and
// of what was lost.
#include "captures.h"
#include "cli.h"
#include "lines.h"
#include "live.h"
#include "options.h"
#include "receive.h"
#include "screen.h"
#include "stdout_queue.h"
#include "tally.h"
#include "waveform.h"
#include "web.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

// At the end, standard output gets this long to take what is queued; longer while it could take
// more but the writer did not get the processor yet.
constexpr double DRAIN_SECONDS = 0.3, DRAIN_BUSY_SECONDS = 3.0;
// The kernel's drop counters are read at most this often, besides those each datagram brings.
constexpr double DROPS_SECONDS = 0.2;
// A signal's end also takes what already waits in the queues, for at most this long.
constexpr double LAST_BURST_SECONDS = 0.2;

static const monitor_output *outputs[8];
static int output_count;

static bool add_output(const monitor_output *output)
{
    if (output)
        outputs[output_count++] = output;
    return output != nullptr;
}

// Hands one burst from each ready socket to the outputs. Returns how many came, -1 on error;
// *full: a socket had more than one burst waiting.
static long take_bursts(const int *sockets, int count, const fd_set *ready, long room, bool *full)
{
    static monitor_record records[RECEIVE_BURST];
    long taken = 0;
    for (int i = 0; i < count && (room < 0 || taken < room); i++) {
        if (ready && !FD_ISSET(sockets[i], ready))
            continue;
        long max = room < 0 || room - taken > RECEIVE_BURST ? RECEIVE_BURST : room - taken;
        int n = receive_burst(sockets[i], i, records, (int)max);
        if (n < 0)
            return -1;
        for (int r = 0; r < n; r++) {
            tally.kinds[records[r].kind]++;
            for (int o = 0; o < output_count; o++)
                if (outputs[o]->take)
                    outputs[o]->take(&records[r]);
        }
        taken += n;
        *full = *full || n == RECEIVE_BURST;
    }
    return taken;
}

// Serves the outputs whose descriptor the wait found ready (none without ready), then gives
// each its turn to write what is due.
static void flush_outputs(double now, const fd_set *ready)
{
    for (int o = 0; o < output_count; o++)
        if (ready && outputs[o]->descriptor && FD_ISSET(outputs[o]->descriptor(), ready))
            outputs[o]->serve(now);
    for (int o = 0; o < output_count; o++)
        if (outputs[o]->flush)
            outputs[o]->flush(now);
}

// "listening on UDP ports 15730 15731 7655, HTTP on 0.0.0.0:8080", on out.
static void say_listening(const monitor_settings *settings, FILE *out)
{
    char text[512];
    size_t used = 0;
    put_text(text, sizeof(text), &used, "listening on UDP ports");
    for (int i = 0; i < settings->port_count; i++)
        put_text(text, sizeof(text), &used, " %u", settings->ports[i]);
    char web_host[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &settings->web_address.sin_addr, web_host, sizeof(web_host));
    if (settings->web)
        put_text(text, sizeof(text), &used, ", HTTP on %s:%u", web_host, ntohs(settings->web_address.sin_port));
    put_text(text, sizeof(text), &used, "\n");
    if (out != stdout)
        fputs(text, out);
    else if (stdout_put(text, used))
        stdout_flush();
}

// Hands the datagrams to the outputs until the count, the time or a signal ends the run, then
// the ones that had already come. Returns 0, or 1 after a failed wait or receive.
static int receive_until_the_end(const monitor_settings *settings, const int *fds, int fd_count)
{
    const double end = settings->seconds ? monotonic_seconds() + (double)settings->seconds : 0;
    long received = 0;
    double hold = 0;  // the sockets wait until then: a busy port is taken in bursts
    double drops_read = 0;
    const int ports = settings->port_count;
    while (settings->count == 0 || received < settings->count) {
        double now = monotonic_seconds(), wake = end;
        for (int o = 0; o < output_count; o++) {
            double due = outputs[o]->due ? outputs[o]->due(now) : 0;
            if (due && (!wake || due < wake))
                wake = due;
        }
        fd_set ready;
        int n = wait_for_datagrams(fds, ports, fd_count, hold, wake, &ready);
        if (n < 0)
            return 1;
        if (end_requested() || (end && monotonic_seconds() >= end))
            break;
        bool full = false;
        long taken = n > 0 ? take_bursts(fds, ports, &ready, settings->count ? settings->count - received : -1, &full)
                           : 0;
        if (taken < 0)
            return 1;
        received += taken;
        now = monotonic_seconds();
        // Drops after the last datagram reach no datagram: the counters are read now and then.
        if (now >= drops_read + DROPS_SECONDS) {
            count_kernel_drops(fds, ports);
            drops_read = now;
        }
        flush_outputs(now, n > 0 ? &ready : nullptr);
        if (taken)
            hold = full ? 0 : now + RECEIVE_PACE_SECONDS;
    }
    // What already came before the end is shown and captured too, unless a count ended it.
    for (double stop = monotonic_seconds() + LAST_BURST_SECONDS;
         (settings->count == 0 || received < settings->count) && monotonic_seconds() < stop;) {
        bool full = false;
        long taken = take_bursts(fds, ports, nullptr, settings->count ? settings->count - received : -1, &full);
        if (taken <= 0)
            break;
        received += taken;
    }
    return 0;
}

// The summary and the losses, on out; on standard error when standard output does not take
// them (a stalled reader): they must be told.
static void say_what_came(const monitor_settings *settings, FILE *out, double seconds)
{
    // What standard output did not take by now is lost: lines, or the log's frames.
    const bool drained = stdout_drain(DRAIN_SECONDS, DRAIN_BUSY_SECONDS);
    if (!drained && settings->lines)
        tally.lines_not_shown += stdout_unwritten();
    else if (!drained && settings->log_path && strcmp(settings->log_path, "-") == 0)
        tally.captures[CAPTURE_LOG].not_captured += stdout_unwritten();
    snprintf(tally.stdout_why, sizeof(tally.stdout_why), "%s", stdout_error());
    char summary[1024], losses[1024], text[sizeof(summary) + sizeof(losses) + 2];
    format_summary(seconds, summary, sizeof(summary));
    format_losses(losses, sizeof(losses));
    size_t used = (size_t)snprintf(text, sizeof(text), "%s\n%s\n", summary, losses);
    if (out != stdout || !drained || !stdout_put(text, used) || !stdout_drain(DRAIN_SECONDS, DRAIN_BUSY_SECONDS))
        fputs(text, stderr);
}

int main(int argc, char **argv)
{
    // Before any file is opened: started with standard output closed, the capture would get
    // descriptor 1 and the lines would be written into it.
    if (open_standard_streams() < 0)
        return 1;

    monitor_settings settings;
    int status = parse_monitor_options(argc, argv, &settings);
    if (status >= 0)
        return status;
    // A file size limit (ulimit -f) fills a capture as a full disk does: that capture stops,
    // the monitor goes on, rather than being killed mid-record.
    signal(SIGXFSZ, SIG_IGN);
    // Before any port is bound: a capture that cannot be written is no run at all.
    if ((settings.log_path || settings.pcap_path) &&
        !add_output(captures_output(settings.log_path, settings.pcap_path, settings.interface)))
        return 1;
    struct timeval started;
    gettimeofday(&started, nullptr);
    if (settings.waveform_path && !add_output(waveform_output(settings.waveform_path, &started)))
        return 1;
    if (settings.live || settings.web)
        add_output(live_output());
    if (settings.live)
        add_output(screen_output());
    if (settings.lines)
        add_output(lines_output(settings.hex));

    int fds[MONITOR_MAX_PORTS + 8];
    if (open_monitor_sockets(&settings, fds) < 0)
        return 1;
    if (settings.web && !add_output(web_output(&settings.web_address)))
        return 1;
    int fd_count = settings.port_count;
    for (int o = 0; o < output_count; o++)
        if (outputs[o]->descriptor)
            fds[fd_count++] = outputs[o]->descriptor();

    catch_end_signals();  // before the line that says it is ready
    stdout_start();
    FILE *out = settings.lines || settings.live ? stdout : stderr;
    say_listening(&settings, out);

    const double start = monotonic_seconds();
    status = receive_until_the_end(&settings, fds, fd_count);
    count_kernel_drops(fds, settings.port_count);
    double now = monotonic_seconds();
    flush_outputs(now, nullptr);
    for (int o = 0; o < output_count; o++)
        if (outputs[o]->end)
            outputs[o]->end(now);
    say_what_came(&settings, out, monotonic_seconds() - start);
    return tally_lost() ? 1 : status;
}
