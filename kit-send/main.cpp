// SPDX-License-Identifier: GPL-2.0-or-later
// kit-send: one CAN frame, written as cansend takes it, as one CanUdpFrame datagram to the board.
#include "cantext.h"
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s [-p <port>] <host> <id>#<data>\n", program_name(argv0));
    fprintf(stderr, "   Version 1.0\n\n");
    fprintf(stderr, "         -p <port>           the board's UDP port - default 7654\n");
    fprintf(stderr, "         <id>#<data>         8 hex digits of id, 0 to 8 data bytes in hex: 00080300#00004007012C\n\n");
}

int main(int argc, char **argv)
{
    const char *port = "7654";
    int opt;
    optopt = 0;  // getopt sets it for an unknown option or a missing argument, not for -?
    while ((opt = getopt(argc, argv, "p:h?")) != -1) {
        if (opt != 'p') {
            usage(argv[0]);
            return opt == '?' && optopt ? 1 : 0;
        }
        char *end;
        unsigned long value = strtoul(optarg, &end, 10);
        if (end == optarg || *end || value < 1 || value > 65535) {
            fprintf(stderr, "invalid port: %s\n", optarg);
            return 1;
        }
        port = optarg;
    }
    if (argc - optind != 2) {
        usage(argv[0]);
        return 1;
    }
    const char *host = argv[optind], *text = argv[optind + 1];

    CanUdpFrame frame;
    const char *why;
    if (parse_frame_text(text, &frame, &why) < 0) {
        fprintf(stderr, "invalid frame: %s (%s)\n", text, why);
        return 1;
    }

    struct addrinfo hints = {}, *address;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    int error = getaddrinfo(host, port, &hints, &address);
    if (error) {
        fprintf(stderr, "unknown host: %s (%s)\n", host, gai_strerror(error));
        return 1;
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        fprintf(stderr, "UDP socket error: %s\n", strerror(errno));
        return 1;
    }
    int on = 1;  // a broadcast address is a fair destination on a layout's LAN
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    if (sendto(sock, &frame, sizeof(frame), 0, address->ai_addr, address->ai_addrlen) != (ssize_t)sizeof(frame)) {
        fprintf(stderr, "cannot send to %s port %s: %s\n", host, port, strerror(errno));
        return 1;
    }
    return 0;
}
