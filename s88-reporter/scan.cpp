// SPDX-License-Identifier: GPL-2.0-or-later
#include "reporter.h"

#include "canudp.h"
#include "cli.h"
#include "gpio_aw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>

int scan_s88_bus(reporter_context *ctx, int modules, int microtiming)
{
    const unsigned data = (unsigned)ctx->pins[PIN_DATA];
    const unsigned clock = (unsigned)ctx->pins[PIN_CLOCK];
    const unsigned load = (unsigned)ctx->pins[PIN_LOAD];
    const unsigned reset = (unsigned)ctx->pins[PIN_RESET];
    // With invert 1 the lines rest high and pulse low.
    const unsigned active = ctx->invert ^ 1;
    const unsigned inactive = ctx->invert;

    // CLOCK while LOAD is active takes the contacts into the shift registers; RESET then
    // clears the modules' contact memories.
    gpio_aw_write(load, active);
    microsleep(microtiming);
    gpio_aw_write(clock, active);
    microsleep(microtiming);
    gpio_aw_write(clock, inactive);
    microsleep(microtiming);
    gpio_aw_write(reset, active);
    microsleep(microtiming);
    gpio_aw_write(reset, inactive);
    microsleep(microtiming);
    gpio_aw_write(load, inactive);
    ctx->cycle_count++;

    // Module m goes to word m / 2, the high half for even m; each bit is on DATA before the
    // clock pulse that brings the next one.
    for (int m = 0; m < modules; m++) {
        uint32_t *word = &scan_bits[m / 2];
        uint32_t bit = (m & 1) ? 0x00008000u : 0x80000000u;
        for (int i = 0; i < 16; i++, bit >>= 1) {
            uint8_t level = 0;
            gpio_aw_read(data, &level);
            const uint32_t contact = (level ^ ctx->invert) & 1;
            *word = (*word & ~bit) | (bit & (0u - contact));
            microsleep(microtiming);
            gpio_aw_write(clock, active);
            microsleep(microtiming);
            gpio_aw_write(clock, inactive);
        }
    }
    return filter_contact_changes(ctx, modules * 16);
}

int run_scan_mode(reporter_context *ctx, int modules, int microtiming)
{
    if (gpio_aw_open("/dev/mem") < 0) {
        fprintf(stderr, "Can't open IO mem: %s\n", strerror(errno));
        return 1;
    }
    gpio_aw_set_output((unsigned)ctx->pins[PIN_CLOCK]);
    gpio_aw_set_output((unsigned)ctx->pins[PIN_LOAD]);
    gpio_aw_set_output((unsigned)ctx->pins[PIN_RESET]);
    gpio_aw_set_input((unsigned)ctx->pins[PIN_DATA]);
    // The bus is clocked by sleeping: the default 50 us timer slack would stretch every short
    // wait several times over. Minimal slack keeps the waits close to the microtiming.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Only now is the bus in reach: a service manager that heard READY=1 earlier would count a
    // reporter without /dev/mem as started.
    notify_ready();

    // 100 x t, kept within what microsleep takes for absurd microtimings.
    const int64_t pause64 = (int64_t)microtiming * 100;
    const int32_t pause = pause64 > INT32_MAX ? INT32_MAX : (int32_t)pause64;
    for (;;) {
        if (scan_s88_bus(ctx, modules, microtiming) < 0) {
            fputs("problem sending event data - terminating\n", stderr);
            return 1;
        }
        microsleep(pause);
    }
}
