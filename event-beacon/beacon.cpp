// SPDX-License-Identifier: GPL-2.0-or-later
#include "beacon.h"

#include "broadcast.h"
#include "canudp.h"
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

// Identifier 0x00300300, no data.
static const CanUdpFrame beacon_frame = {{0x00, 0x30, 0x03, 0x00}, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s -vf [-b <bcast_addr/int>][-i <sec>][-p <port>]\n", program_name(argv0));
    fprintf(stderr, "   Version 1.0\n\n");
    fprintf(stderr, "         -b <bcast_addr/int> broadcast address or interface - default 255.255.255.255/br-lan\n");
    fprintf(stderr, "         -i <interval in sec>   using timer in sec / 0 -> only once - default %d\n", BEACON_DEFAULT_INTERVAL);
    fprintf(stderr, "         -p <port>           destination port of the server - default %d\n", BEACON_DEFAULT_PORT);
    fprintf(stderr, "         -f                  run in foreground (for debugging)\n");
    fprintf(stderr, "         -v                  be verbose\n\n");
}

int parse_beacon_options(int argc, char **argv, beacon_context *ctx, char *udp_dst_address,
                         char *bcast_interface)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:i:p:fvh?")) != -1) {
        switch (opt) {
        case 'b':
            if (take_bcast_option(optarg, udp_dst_address, bcast_interface) < 0)
                return 1;
            break;
        case 'i':
            ctx->interval = atoi(optarg);
            // sleep() takes an unsigned count: a negative interval would pause for ages.
            if (ctx->interval < 0) {
                usage(argv[0]);
                return 1;
            }
            break;
        case 'p':
            ctx->destination.sin_port = htons(parse_port(optarg));
            break;
        case 'f':
            ctx->background = 0;
            break;
        case 'v':
            ctx->verbose = 1;
            break;
        case 'h':
        case '?':
        default:
            usage(argv[0]);
            return 0;
        }
    }
    return -1;
}

int create_event(const beacon_context *ctx)
{
    CanUdpFrame frame;
    memcpy(&frame, &beacon_frame, sizeof(frame));
    if (sendto(ctx->socket, &frame, sizeof(frame), 0, (const struct sockaddr *)&ctx->destination,
               sizeof(ctx->destination)) != (ssize_t)sizeof(frame)) {
        fprintf(stderr, "%s: error sending UDP data: %s\n", __func__, strerror(errno));
        return -1;
    }
    if (!ctx->background)
        trace_udp_frame(&frame);
    return 0;
}
