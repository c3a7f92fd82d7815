// SPDX-License-Identifier: GPL-2.0-or-later
// s88-reporter: broadcasts S88 contact changes (or, with -m 0, a toggling test event) by UDP.
#include "reporter.h"

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
    init_contact_state();  // every contact last reported 0
    static reporter_context ctx;  // zero-filled
    reporter_settings settings = {};
    ctx.background = 1;
    settings.modules = 1;
    // One trace line per frame as it happens, also when stdout is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    trace_skip_null_output();

    if (alloc_destination_texts(&settings.udp_dst_address, &settings.bcast_interface) < 0)
        return 1;

    ctx.destination.sin_family = AF_INET;
    ctx.destination.sin_port = htons(REPORTER_DEFAULT_PORT);
    settings.microtiming = REPORTER_DEFAULT_MICROTIMING;

    int status = parse_reporter_options(argc, argv, &ctx, &settings);
    if (status >= 0)
        return status;

    ctx.pins[PIN_DATA] = 276;   // PI20
    ctx.pins[PIN_CLOCK] = 227;  // PH3
    ctx.pins[PIN_LOAD] = 277;   // PI21
    ctx.pins[PIN_RESET] = 229;  // PH5
    if (settings.pin_config && apply_pin_config(settings.pin_config, ctx.pins) < 0)
        return 1;

    if (ctx.verbose) {
        static const char *const formats[PIN_SLOTS] = {
            "DATA  pin is P%c%d\n", "CLOCK pin is P%c%d\n",
            "LOAD  pin is P%c%d\n", "RESET pin is P%c%d\n"};
        for (int i = 0; i < PIN_SLOTS; i++)
            printf(formats[i], 'A' + (ctx.pins[i] >> 5), ctx.pins[i] & 31);
    }

    resolve_destination(settings.bcast_interface, settings.udp_dst_address);
    if (convert_destination(settings.udp_dst_address, &ctx.destination.sin_addr, settings.bcast_interface) < 0)
        return 1;
    free(settings.bcast_interface);

    if (settings.second_port) {
        ctx.second_destination.sin_family = AF_INET;
        ctx.second_destination.sin_port = htons((uint16_t)settings.second_port);
        ctx.second_destination.sin_addr = ctx.destination.sin_addr;
    }

    if (!ctx.background && ctx.verbose)
        printf("using broadcast address %s\n", settings.udp_dst_address);

    ctx.socket = open_broadcast_socket("UDP socket error: %s\n",
                                       "UDP set broadcast option error: %s\n");
    if (ctx.socket < 0)
        return 1;
    if (settings.second_port) {
        ctx.second_socket = open_broadcast_socket("UDP second socket error: %s\n",
                                                  "second UDP set broadcast option error: %s\n");
        if (ctx.second_socket < 0)
            return 1;
    }

    if (ctx.background && daemon(0, 0) < 0) {
        fprintf(stderr, "Going into background failed: %s\n", strerror(errno));
        return 1;
    }

    if (settings.modules == 0) {
        notify_ready();
        return run_test_mode(&ctx);
    }
    return run_scan_mode(&ctx, settings.modules, settings.microtiming);  // ready once it can scan
}
