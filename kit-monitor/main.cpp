// kit-monitor: one line in words for every CanUdpFrame datagram that reaches its UDP ports,
// until a count, a time or SIGINT/SIGTERM ends it; then a summary of what came.
#include "monitor.h"

#include <cstdio>
#include <ctime>

static double seconds_since(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start->tv_sec) + (double)(now.tv_nsec - start->tv_nsec) / 1e9;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it happens, also into a pipe

    monitor_settings settings;
    int status = parse_monitor_options(argc, argv, &settings);
    if (status >= 0)
        return status;

    int sockets[MONITOR_MAX_PORTS];
    if (open_monitor_sockets(&settings, sockets) < 0)
        return 1;
    catch_end_signals();  // before the line that says it is ready
    printf("listening on UDP ports");
    for (int i = 0; i < settings.port_count; i++)
        printf(" %u", settings.ports[i]);
    printf("\n");

    struct timespec start, deadline;
    clock_gettime(CLOCK_MONOTONIC, &start);
    deadline = start;
    deadline.tv_sec += settings.seconds;

    unsigned long counts[KIND_COUNT] = {};
    long received = 0;
    status = 0;
    while (settings.count == 0 || received < settings.count) {
        fd_set ready;
        int n = wait_for_datagrams(sockets, settings.port_count,
                                   settings.seconds ? &deadline : nullptr, &ready);
        if (n < 0)
            status = 1;
        if (n <= 0)
            break;
        for (int i = 0; i < settings.port_count; i++) {
            if (!FD_ISSET(sockets[i], &ready) || (settings.count && received == settings.count))
                continue;
            int kind = receive_datagram(sockets[i], settings.ports[i], settings.hex);
            if (kind >= 0) {
                counts[kind]++;
                received++;
            }
        }
    }

    print_summary(counts, seconds_since(&start));
    return status;
}
