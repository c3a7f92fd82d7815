// SPDX-License-Identifier: GPL-2.0-or-later
#include "reporter.h"

#include "canudp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

// S88 event frame: CAN ID 0x00230300 with the hash in its low bits (bits 8 and 9 always set).
static constexpr uint32_t S88_EVENT_ID = 0x00230000 | 0x00000300;

static bool send_frame(int fd, const CanUdpFrame *frame, const struct sockaddr_in *to)
{
    return sendto(fd, frame, sizeof(*frame), 0, (const struct sockaddr *)to, sizeof(*to)) ==
           (ssize_t)sizeof(*frame);
}

int create_event(const reporter_context *ctx, int32_t contact_base, uint32_t change_mask,
                 uint32_t new_levels)
{
    CanUdpFrame frame;
    memset(&frame, 0, sizeof(frame));
    can_udp_frame_set_id(&frame, S88_EVENT_ID | ctx->hash);
    frame.dlc = 8;

    for (int i = 0; i < 32; i++) {
        uint32_t bit = 0x80000000u >> i;
        if (!(change_mask & bit))
            continue;
        uint16_t contact = (uint16_t)((uint32_t)contact_base + 1 + (uint32_t)i);
        frame.data[0] = (uint8_t)(ctx->event_id >> 8);
        frame.data[1] = (uint8_t)ctx->event_id;
        frame.data[2] = (uint8_t)(contact >> 8);
        frame.data[3] = (uint8_t)contact;
        frame.data[4] = (new_levels & bit) ? 0 : 1;
        frame.data[5] = (new_levels & bit) ? 1 : 0;

        if (!send_frame(ctx->socket, &frame, &ctx->destination)) {
            fprintf(stderr, "%s: error sending UDP data: %s\n", __func__, strerror(errno));
            return -1;
        }
        if (ctx->second_socket &&
            !send_frame(ctx->second_socket, &frame, &ctx->second_destination)) {
            fprintf(stderr, "%s: error sending UDP data (second socket): %s\n", __func__,
                    strerror(errno));
            return -1;
        }
        if (!ctx->background)
            trace_udp_frame(&frame, ctx->cycle_count);
    }
    return 0;
}

int run_test_mode(reporter_context *ctx)
{
    for (uint32_t counter = 0;; counter++) {
        // Only the lowest bit is set: contact 32, alternating 1 -> 0, 0 -> 1, ...
        if (create_event(ctx, 0, 1, counter & 1) < 0)
            return -1;
        microsleep(900000);
    }
}
