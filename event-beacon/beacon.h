// SPDX-License-Identifier: GPL-2.0-or-later
// event-beacon: broadcasts one fixed frame by UDP, once or every few seconds.
#pragma once

#include <cstdint>
#include <netinet/in.h>

constexpr uint16_t BEACON_DEFAULT_PORT = 15731;
constexpr int BEACON_DEFAULT_INTERVAL = 12;

struct beacon_context {
    struct sockaddr_in destination;
    int32_t socket;
    uint32_t background;  // 0 after -f: every sent frame is traced
    uint32_t verbose;
    int32_t interval;     // seconds between frames; 0 sends once
};

// Reads the command line. Returns -1 to go on, or the exit status after the usage text or an
// error message.
int parse_beacon_options(int argc, char **argv, beacon_context *ctx, char *udp_dst_address,
                         char *bcast_interface);

// Sends the beacon frame once. Returns 0, or -1 after
// "create_event: error sending UDP data: %s\n".
int create_event(const beacon_context *ctx);
