// SPDX-License-Identifier: GPL-2.0-or-later
#include "bridge.h"

#include "broadcast.h"
#include "canudp.h"
#include "cansocket.h"
#include "cli.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

// The frame is assembled in place in the byte buffer.
static_assert(alignof(CanUdpFrame) == 1, "CanUdpFrame must fit any byte position");

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s -l <port> -d <port> -i <can interface>\n", program_name(argv0));
    fprintf(stderr, "   Version 1.01\n\n");
    fprintf(stderr, "         -l <port>           listening UDP port for the server - default %d\n", BRIDGE_DEFAULT_LISTEN_PORT);
    fprintf(stderr, "         -d <port>           destination UDP port for the server - default %d\n", BRIDGE_DEFAULT_DESTINATION_PORT);
    fprintf(stderr, "         -b <broadcast_addr> broadcast address - default 255.255.255.255\n");
    fprintf(stderr, "         -i <can int>        can interface - default can0\n");
    fprintf(stderr, "         -f                  running in foreground\n\n");
}

void bridge_defaults(bridge_settings *settings)
{
    memset(settings, 0, sizeof(*settings));
    settings->listen_port = BRIDGE_DEFAULT_LISTEN_PORT;
    settings->destination.sin_family = AF_INET;
    settings->destination.sin_port = htons(BRIDGE_DEFAULT_DESTINATION_PORT);
    inet_pton(AF_INET, "255.255.255.255", &settings->destination.sin_addr);
    copy_interface_name(settings->interface, "can0");
}

int parse_bridge_options(int argc, char **argv, bridge_settings *settings)
{
    int opt;
    // "+": parsing stops at the first operand; glibc would otherwise move options after it
    // to the front.
    while ((opt = getopt(argc, argv, "+l:d:b:i:hf?")) != -1) {
        switch (opt) {
        case 'l':
            settings->listen_port = parse_port(optarg);
            break;
        case 'd':
            settings->destination.sin_port = htons(parse_port(optarg));
            break;
        case 'b':
            if (inet_pton(AF_INET, optarg, &settings->destination.sin_addr) != 1) {
                fprintf(stderr, "invalid IP address: %s\n", optarg);
                return 1;
            }
            break;
        case 'i':
            copy_interface_name(settings->interface, optarg);
            break;
        case 'f':
            settings->foreground = 1;
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

int open_bridge_sockets(const bridge_settings *settings, bridge_context *ctx)
{
    ctx->udp_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (ctx->udp_socket < 0) {
        fprintf(stderr, "UDP socket error: %s\n", strerror(errno));
        return -1;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(settings->listen_port);
    if (bind(ctx->udp_socket, (struct sockaddr *)&local, sizeof(local)) < 0) {
        fprintf(stderr, "UDP bind error: %s\n", strerror(errno));
        return -1;
    }

    ctx->can_socket = open_can_socket(settings->interface, "CAN socket error: %s\n",
                                      "CAN setup error: %s\n", "CAN bind error: %s\n");
    if (ctx->can_socket < 0)
        return -1;

    ctx->send_socket = open_broadcast_socket("Send UDP socket error %s\n",
                                             "UDP set socket option error: %s\n");
    if (ctx->send_socket < 0)
        return -1;
    ctx->destination = settings->destination;
    ctx->foreground = settings->foreground;
    return 0;
}

void forward_datagram(const uint8_t *buf, size_t len, int can_socket, int foreground)
{
    if (len != sizeof(CanUdpFrame)) {
        fprintf(stderr, "UDP packet size error: got %d bytes\n", (int)len);
        return;
    }
    struct can_frame frame;
    udp_to_can_frame((const CanUdpFrame *)buf, &frame);
    // A length byte above 8 goes to the CAN layer as it came; the layer refuses it.
    if (write(can_socket, &frame, sizeof(frame)) != (ssize_t)sizeof(frame))
        fprintf(stderr, "CAN write error: %s\n", strerror(errno));
    trace_can_frame(&frame, foreground);
}

void forward_can_frame(const struct can_frame *frame, uint8_t *buf, int send_socket,
                       const struct sockaddr_in *destination, int foreground)
{
    if (!(frame->can_id & CAN_EFF_FLAG))
        return;
    can_to_udp_frame(frame, (CanUdpFrame *)buf);
    if (sendto(send_socket, buf, sizeof(CanUdpFrame), 0, (const struct sockaddr *)destination,
               sizeof(*destination)) != (ssize_t)sizeof(CanUdpFrame))
        fprintf(stderr, "UDP write error: %s\n", strerror(errno));
    trace_can_frame(frame, foreground);
}

void serve_can_socket(bridge_context *ctx)
{
    ssize_t n = read(ctx->can_socket, &ctx->frame, sizeof(ctx->frame));
    if (n != (ssize_t)sizeof(ctx->frame)) {
        // A raw socket without CAN FD hands out whole frames only; anything else is a fault.
        fprintf(stderr, "CAN read error: %s\n", strerror(n < 0 ? errno : EIO));
        return;
    }
    forward_can_frame(&ctx->frame, ctx->buffer, ctx->send_socket, &ctx->destination,
                      ctx->foreground);
}

void serve_udp_socket(bridge_context *ctx)
{
    ssize_t n = recv(ctx->udp_socket, ctx->buffer, sizeof(ctx->buffer), 0);
    if (n < 0) {
        fprintf(stderr, "UDP read error: %s\n", strerror(errno));
        return;
    }
    forward_datagram(ctx->buffer, (size_t)n, ctx->can_socket, ctx->foreground);
}

void run_bridge(bridge_context *ctx)
{
    int limit = (ctx->can_socket > ctx->udp_socket ? ctx->can_socket : ctx->udp_socket) + 1;
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(ctx->can_socket, &readable);
        FD_SET(ctx->udp_socket, &readable);
        if (select(limit, &readable, nullptr, nullptr, nullptr) < 0) {
            // The set is undefined now: reading by it could block one direction behind the
            // other, so wait again instead.
            fprintf(stderr, "select error: %s\n", strerror(errno));
            continue;
        }
        if (FD_ISSET(ctx->can_socket, &readable))
            serve_can_socket(ctx);
        if (FD_ISSET(ctx->udp_socket, &readable))
            serve_udp_socket(ctx);
    }
}
