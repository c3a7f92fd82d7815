// SPDX-License-Identifier: GPL-2.0-or-later
#include "susi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s ", argv0 ? basename(argv0) : "");
    fprintf(stderr, "   Version 0.1\n\n");
    fprintf(stderr, "         -c                  reading CV\n");
    fprintf(stderr, "         -f                  run in foreground (for debugging)\n");
    fprintf(stderr, "         -v                  be verbose\n\n");
}

int parse_susi_options(int argc, char **argv, int *cv)
{
    int have_cv = 0;
    int opt;
    while ((opt = getopt(argc, argv, "c:sh?")) != -1) {
        switch (opt) {
        case 'c':
            *cv = atoi(optarg) & 0x3FF;
            have_cv = 1;
            break;
        case 's':
            usage(argv[0]);
            return 1;
        case 'h':
        case '?':
        default:
            usage(argv[0]);
            return 0;
        }
    }
    // Without -c there is no CV to read; guessing one would print a value nobody asked for.
    if (!have_cv) {
        usage(argv[0]);
        return 1;
    }
    return -1;
}

void read_cv(int fd, int cv, int *result)
{
    susi_request request;
    request.count = 3;
    request.command[0] = (uint8_t)(0x78 | ((cv >> 8) & 3));
    request.command[1] = (uint8_t)(cv & 0xFF);
    *result = 0;
    for (int bit = 0; bit < 8; bit++) {
        *result >>= 1;
        request.command[2] = (uint8_t)(0xE8 | bit);
        // A call that fails leaves the byte alone: cleared, it reads as no acknowledgement
        // instead of repeating the previous bit's answer.
        request.result = 0;
        susi_xfer(fd, &request);
        if (request.result != 0)
            *result |= 0x80;
    }
}
