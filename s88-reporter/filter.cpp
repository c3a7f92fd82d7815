// SPDX-License-Identifier: GPL-2.0-or-later
#include "reporter.h"

uint32_t scan_bits[CONTACT_WORDS];
uint32_t pending_level[CONTACT_WORDS];
uint32_t confirm_low[CONTACT_WORDS];
uint32_t confirm_high[CONTACT_WORDS];

void init_contact_state()
{
    for (int w = 0; w < CONTACT_WORDS; w++) {
        scan_bits[w] = 0;
        pending_level[w] = ~0u;
        confirm_low[w] = ~0u;
        confirm_high[w] = ~0u;
    }
}

int filter_contact_changes(reporter_context *ctx, int contact_bits)
{
    const int last_word = (contact_bits - 1) / 32;
    for (int w = 0; w <= last_word; w++) {
        const uint32_t s = scan_bits[w];
        const uint32_t p = pending_level[w];
        const uint32_t l = confirm_low[w];
        const uint32_t h = confirm_high[w];
        // 1 where the scan equals the last reported state, 0 where it reads the changed level.
        const uint32_t same = s ^ p;
        // Read the changed level with the counter already at 0: accepted now.
        const uint32_t accepted = ~(l | h | same);
        // Counter - 1 where the change is read, back to 3 where it is not (or was accepted).
        const uint32_t new_low = ~l | same;
        confirm_high[w] = new_low ^ (h & ~same);
        confirm_low[w] = new_low;
        pending_level[w] = p ^ accepted;
        if (create_event(ctx, ctx->offset + 32 * w, accepted, s) < 0)
            return -1;
    }
    return 0;
}
