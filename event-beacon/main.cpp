// SPDX-License-Identifier: GPL-2.0-or-later
// event-beacon: broadcasts one fixed frame by UDP, once (-i 0) or every interval seconds.
#include "beacon.h"

#include "broadcast.h"

#include <arpa/inet.h>
#include "canudp.h"
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Before anything is opened: a closed standard stream would hand its number to a socket.
    if (open_standard_streams() < 0)
        return 1;
    static beacon_context ctx;  // zero-filled
    ctx.background = 1;
    setvbuf(stdout, nullptr, _IOLBF, 0);  // trace lines as they happen, also into a pipe
    trace_skip_null_output();

    char *udp_dst_address;
    char *bcast_interface;
    if (alloc_destination_texts(&udp_dst_address, &bcast_interface) < 0)
        return 1;

    ctx.destination.sin_family = AF_INET;
    ctx.destination.sin_port = htons(BEACON_DEFAULT_PORT);
    ctx.interval = BEACON_DEFAULT_INTERVAL;

    int status = parse_beacon_options(argc, argv, &ctx, udp_dst_address, bcast_interface);
    if (status >= 0)
        return status;

    resolve_destination(bcast_interface, udp_dst_address);
    if (convert_destination(udp_dst_address, &ctx.destination.sin_addr, bcast_interface) < 0)
        return 1;
    free(bcast_interface);

    if (!ctx.background && ctx.verbose)
        printf("using broadcast address %s interval %d sec\n", udp_dst_address, ctx.interval);

    ctx.socket = open_broadcast_socket("UDP socket error: %s\n",
                                       "UDP set broadcast option error: %s\n");
    if (ctx.socket < 0)
        return 1;

    if (ctx.background && daemon(0, 0) < 0) {
        fprintf(stderr, "Going into background failed: %s\n", strerror(errno));
        return 1;
    }

    notify_ready();
    for (;;) {
        if (create_event(&ctx) < 0) {
            fputs("problem sending event data - terminating\n", stderr);
            return 1;
        }
        if (ctx.interval == 0)
            return 0;
        sleep((unsigned)ctx.interval);
    }
}
