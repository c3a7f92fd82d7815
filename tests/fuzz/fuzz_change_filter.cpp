// SPDX-License-Identifier: GPL-2.0-or-later
// s88-reporter's change filter, with the real create_event sending to a loopback listener: for
// any sequence of scan words, a contact is reported only in the fourth consecutive cycle that
// reads its new level, exactly then, once, and its reported states alternate (0 -> 1, 1 -> 0,
// ...), starting from 0; within a cycle the frames come in ascending contact order.
//
// Input: module count (1 byte, 1 to 32), offset (2 bytes, signed), then the scan words of one
// cycle after another, 4 bytes each, as many words as the module count fills.
#include "fuzz_support.h"
#include "reporter.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Rig {
    int listener;
    int sender;
    struct sockaddr_in to;
};

Rig &rig()
{
    static Rig r = [] {
        Rig r;
        r.listener = socket(AF_INET, SOCK_DGRAM, 0);
        int big = 32 << 20;  // a cycle may accept all 512 contacts at once
        setsockopt(r.listener, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
        r.to = {};
        r.to.sin_family = AF_INET;
        r.to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(r.to);
        if (bind(r.listener, (struct sockaddr *)&r.to, sizeof(r.to)) < 0 ||
            getsockname(r.listener, (struct sockaddr *)&r.to, &len) < 0)
            abort();
        r.sender = socket(AF_INET, SOCK_DGRAM, 0);
        return r;
    }();
    return r;
}

struct Event {
    uint16_t contact;
    uint8_t old_state, new_state;
    bool operator==(const Event &o) const
    {
        return contact == o.contact && old_state == o.old_state && new_state == o.new_state;
    }
};

std::vector<Event> received()
{
    std::vector<Event> events;
    uint8_t buf[64];
    ssize_t n;
    while ((n = recv(rig().listener, buf, sizeof(buf), MSG_DONTWAIT)) >= 0) {
        FUZZ_CHECK(n == 13, "datagram of %zd bytes", n);
        events.push_back({(uint16_t)(buf[7] << 8 | buf[8]), buf[9], buf[10]});
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    int modules = data[0] % MAX_MODULES + 1;
    int contact_bits = modules * 16;
    int words = (contact_bits - 1) / 32 + 1;
    int16_t offset = (int16_t)(data[1] << 8 | data[2]);
    data += 3;
    size -= 3;

    reporter_context ctx = {};
    ctx.background = 1;
    ctx.offset = offset;
    ctx.socket = rig().sender;
    ctx.destination = rig().to;
    init_contact_state();
    received();

    // Per contact: the state last reported and how many cycles in a row read the other level.
    uint8_t reported[CONTACT_WORDS * 32] = {};
    int run[CONTACT_WORDS * 32] = {};

    size_t cycles = size / (4 * (size_t)words);
    for (size_t c = 0; c < cycles; c++) {
        std::vector<Event> expected;
        for (int w = 0; w < words; w++) {
            const uint8_t *p = data + 4 * ((size_t)words * c + (size_t)w);
            scan_bits[w] = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
            for (int i = 0; i < 32; i++) {
                int k = 32 * w + i;
                uint8_t level = (scan_bits[w] >> (31 - i)) & 1;
                if (level == reported[k]) {
                    run[k] = 0;
                    continue;
                }
                if (++run[k] < 4)
                    continue;
                expected.push_back({(uint16_t)(offset + k + 1), reported[k], level});
                reported[k] = level;
                run[k] = 0;
            }
        }
        FUZZ_CHECK(filter_contact_changes(&ctx, contact_bits) == 0, "cycle %zu failed", c);
        std::vector<Event> got = received();
        FUZZ_CHECK(got.size() == expected.size(), "cycle %zu: %zu frames, %zu accepted changes", c,
                   got.size(), expected.size());
        for (size_t i = 0; i < got.size(); i++)
            FUZZ_CHECK(got[i] == expected[i], "cycle %zu frame %zu: contact %u %u->%u, not %u %u->%u",
                       c, i, got[i].contact, got[i].old_state, got[i].new_state,
                       expected[i].contact, expected[i].old_state, expected[i].new_state);
    }
    return 0;
}
