// SPDX-License-Identifier: GPL-2.0-or-later
#include "reporter.h"

#include "broadcast.h"
#include "cli.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s -vf [-b <bcast_addr/int>][-i <0|1>][-p <port>][-m <s88modules>][-o <offset>]\n",
            program_name(argv0));
    fprintf(stderr, "   Version 2.0\n\n");
    fprintf(stderr, "         -b <bcast_addr/int> broadcast address or interface - default 255.255.255.255/br-lan\n");
    fprintf(stderr, "         -c <config_string>  set GPIOs like \"PI20,PH3,PI21,PH5\"\n");
    fprintf(stderr, "                              Data  PI20\n");
    fprintf(stderr, "                              Clock  PH3\n");
    fprintf(stderr, "                              Load  PI21\n");
    fprintf(stderr, "                              Reset  PH5\n");
    fprintf(stderr, "         -i [0|1]            invert signals - default 0 -> not inverting\n");
    fprintf(stderr, "         -d <event id>       using event id - default 0\n");
    fprintf(stderr, "         -e <hash>           using CAN <hash>\n");
    fprintf(stderr, "         -m <s88modules>     number of connected S88 modules - default 1 (0 fake messages for testing)\n");
    fprintf(stderr, "         -o <offset>         addressing offset - default 0\n");
    fprintf(stderr, "         -p <port>           destination port of the server - default %d\n", REPORTER_DEFAULT_PORT);
    fprintf(stderr, "         -s <port>           second destination port of the server\n");
    fprintf(stderr, "         -t <time in usec>   microtiming in usec - default %d usec\n", REPORTER_DEFAULT_MICROTIMING);
    fprintf(stderr, "         -f                  run in foreground (for debugging)\n");
    fprintf(stderr, "         -v                  be verbose\n\n");
}

int parse_reporter_options(int argc, char **argv, reporter_context *ctx,
                           reporter_settings *settings)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:c:e:d:s:i:p:m:o:t:fvh?")) != -1) {
        switch (opt) {
        case 'b':
            if (take_bcast_option(optarg, settings->udp_dst_address, settings->bcast_interface) < 0)
                return 1;
            break;
        case 'c':
            free(settings->pin_config);
            settings->pin_config = strdup(optarg);
            break;
        case 'e':
            ctx->hash = (uint16_t)atoi(optarg);
            break;
        case 'd':
            ctx->event_id = (uint16_t)atoi(optarg);
            break;
        case 's':
            settings->second_port = strtoul(optarg, nullptr, 10);
            break;
        case 'i':
            ctx->invert = (uint32_t)atoi(optarg) & 1;
            break;
        case 'p':
            ctx->destination.sin_port = htons(parse_port(optarg));
            break;
        case 'm':
            settings->modules = atoi(optarg);
            if ((unsigned)settings->modules > MAX_MODULES) {
                usage(argv[0]);
                return 1;
            }
            break;
        case 'o':
            ctx->offset = atoi(optarg);
            if (ctx->offset > 65502) {
                usage(argv[0]);
                return 1;
            }
            break;
        case 't':
            settings->microtiming = atoi(optarg);
            if (settings->microtiming < 2) {
                fprintf(stderr, "microtiming value to low: %d\n", settings->microtiming);
                return 1;
            }
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

// Highest pin the GPIO library knows: PI31.
static constexpr unsigned long LAST_PIN = 287;

int apply_pin_config(char *text, int32_t pins[PIN_SLOTS])
{
    int slot = 0;
    char *rest = text;
    char *token;
    while (slot < PIN_SLOTS && (token = strsep(&rest, " .,;:!-")) != nullptr) {
        if (toupper((unsigned char)token[0]) != 'P')
            continue;
        int bank = toupper((unsigned char)token[1]) - 'A';
        if (bank < 0 || bank > 8) {
            fprintf(stderr, "pin definition error: P%s\n", token + 1);
            return -1;
        }
        // Only the bank letter is checked by the text itself; a number that runs past PI31
        // would index beyond the GPIO library's tables, so it is refused here.
        unsigned long number = strtoul(token + 2, nullptr, 10);
        if (number > LAST_PIN - (unsigned long)bank * 32) {
            fprintf(stderr, "pin definition error: P%s\n", token + 1);
            return -1;
        }
        pins[slot++] = bank * 32 + (int32_t)number;
    }
    return 0;
}
