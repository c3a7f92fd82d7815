// SPDX-License-Identifier: GPL-2.0-or-later
// A reporter context that sends to UDP listeners on loopback, for tests of the frames the
// reporter puts on the wire.
#pragma once

#include "reporter.h"
#include "udp_listener.h"

#include <cstdint>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct Reporter {
    reporter_context ctx = {};
    UdpListener first, second;
    Reporter()
    {
        ctx.destination = first.address();
        ctx.socket = socket(AF_INET, SOCK_DGRAM, 0);
        ctx.background = 1;
        ctx.pins[PIN_DATA] = 276;
        ctx.pins[PIN_CLOCK] = 227;
        ctx.pins[PIN_LOAD] = 277;
        ctx.pins[PIN_RESET] = 229;
    }
    void with_second_port()
    {
        ctx.second_destination = second.address();
        ctx.second_socket = socket(AF_INET, SOCK_DGRAM, 0);
    }
    ~Reporter()
    {
        close(ctx.socket);
        if (ctx.second_socket)
            close(ctx.second_socket);
    }
};

// Contact number, old state and new state of an S88 event frame.
inline unsigned contact_of(const Bytes &d) { return d[7] << 8 | d[8]; }
inline unsigned old_state_of(const Bytes &d) { return d[9]; }
inline unsigned new_state_of(const Bytes &d) { return d[10]; }
