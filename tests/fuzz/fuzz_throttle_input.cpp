// SPDX-License-Identifier: GPL-2.0-or-later
// ir-throttle's input records: for any byte stream of records, with any loco id and any step of
// 0 or more, the speed stays within 0 to 1000, only functions 0 to 9 ever toggle, and a record
// acts exactly when it is an EV_MSC raw or scan event at least 250 ms (of record time) after
// the last one that acted, or the first such. Each acting record prints one line and sends at
// most one frame; the stream read in one piece acts as it does record by record.
//
// Input: loco id (4 bytes), step (4 bytes, top bit dropped), then the records.
#include "fuzz_support.h"
#include "throttle.h"

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int *can_pair()
{
    static int pair[2] = {-1, -1};
    if (pair[0] < 0 && socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) < 0)
        abort();
    return pair;
}

size_t drain_frames(std::vector<struct can_frame> *frames)
{
    struct can_frame f;
    size_t count = 0;
    ssize_t n;
    while ((n = recv(can_pair()[1], &f, sizeof(f), MSG_DONTWAIT)) >= 0) {
        FUZZ_CHECK(n == (ssize_t)sizeof(f), "a write of %zd bytes", n);
        if (frames)
            frames->push_back(f);
        count++;
    }
    return count;
}

int32_t le32(const uint8_t *p)
{
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

// The board has 32-bit time stamps; records here carry the host's wider ones, so their seconds
// are cut to 32 bits to stay within what a board can deliver.
struct input_event record_at(const uint8_t *p)
{
    struct input_event ev;
    memcpy(&ev, p, sizeof(ev));
    ev.input_event_sec = (int32_t)ev.input_event_sec;
    ev.input_event_usec = (int32_t)ev.input_event_usec;
    return ev;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    throttle_settings settings;
    throttle_defaults(&settings);
    settings.loco_id = le32(data);
    settings.step = le32(data + 4) & 0x7FFFFFFF;
    size_t count = (size - 8) / sizeof(struct input_event);
    // Records in an exact-size heap block, as the device read leaves them.
    std::vector<uint8_t> stream(data + 8, data + 8 + count * sizeof(struct input_event));
    for (size_t i = 0; i < count; i++) {
        struct input_event ev = record_at(&stream[i * sizeof(ev)]);
        memcpy(&stream[i * sizeof(ev)], &ev, sizeof(ev));
    }

    // Record by record, checking each step.
    throttle_state *st = (throttle_state *)malloc(sizeof(throttle_state));
    throttle_start(&settings, st);
    drain_frames(nullptr);
    bool acted_before = false;
    __int128 last = 0;
    std::string all_lines;
    std::vector<struct can_frame> all_frames;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *rec = &stream[i * sizeof(struct input_event)];
        struct input_event ev = record_at(rec);
        uint8_t *one = (uint8_t *)malloc(sizeof(ev));
        memcpy(one, rec, sizeof(ev));
        Capture out(stdout);
        handle_input(one, sizeof(ev), st, can_pair()[0]);
        std::string line = out.text();
        free(one);
        std::vector<struct can_frame> frames;
        drain_frames(&frames);

        __int128 t = (__int128)ev.input_event_sec * 1000000 + ev.input_event_usec;
        bool eligible = ev.type == EV_MSC && (ev.code == MSC_RAW || ev.code == MSC_SCAN);
        bool should_act = eligible && (!acted_before || (t >= last && t - last >= 250000));
        bool acted = !line.empty();
        FUZZ_CHECK(acted == should_act, "record %zu (type %u code %u, %lld.%06lld) %s", i,
                   ev.type, ev.code, (long long)ev.input_event_sec,
                   (long long)ev.input_event_usec, acted ? "acted" : "did not act");
        if (acted) {
            acted_before = true;
            last = t;
            FUZZ_CHECK(line.find('\n') == line.size() - 1, "more than one line: %s", line.c_str());
            int key = ev.value & 0xFF;
            bool handled = key <= 9 || key == 12 || key == 13 || key == 16 || key == 17;
            FUZZ_CHECK(frames.size() == (handled ? 1u : 0u), "key %d sent %zu frames", key, frames.size());
            for (const struct can_frame &f : frames)
                FUZZ_CHECK((f.can_id & CAN_EFF_FLAG) && f.can_dlc <= 8, "frame %08x [%u]", f.can_id, f.can_dlc);
        } else {
            FUZZ_CHECK(frames.empty(), "record %zu sent a frame without acting", i);
        }
        FUZZ_CHECK(st->speed >= 0 && st->speed <= THROTTLE_MAX_SPEED, "speed %d (step %d)", st->speed, st->step);
        for (int f = 0; f < 32; f++)
            FUZZ_CHECK(st->functions[f] == 0 || (f <= 9 && st->functions[f] == 1),
                       "function %d is %u", f, st->functions[f]);
        all_lines += line;
        all_frames.insert(all_frames.end(), frames.begin(), frames.end());
    }

    // The same stream in reads as the device gives them: the same lines, frames and state.
    throttle_state *whole = (throttle_state *)malloc(sizeof(throttle_state));
    throttle_start(&settings, whole);
    std::string lines;
    std::vector<struct can_frame> frames;
    for (size_t at = 0; at < stream.size(); at += THROTTLE_READ_SIZE) {
        size_t n = std::min(THROTTLE_READ_SIZE, stream.size() - at);
        uint8_t *read = (uint8_t *)malloc(n);
        memcpy(read, &stream[at], n);
        Capture out(stdout);
        handle_input(read, n, whole, can_pair()[0]);
        lines += out.text();
        free(read);
        drain_frames(&frames);
    }
    FUZZ_CHECK(lines == all_lines, "read whole: \"%s\" record by record: \"%s\"", lines.c_str(),
               all_lines.c_str());
    FUZZ_CHECK(frames.size() == all_frames.size() &&
                   (frames.empty() || memcmp(frames.data(), all_frames.data(),
                                             frames.size() * sizeof(frames[0])) == 0),
               "frames differ");
    FUZZ_CHECK(whole->speed == st->speed && whole->direction == st->direction &&
                   whole->start_stop == st->start_stop &&
                   memcmp(whole->functions, st->functions, sizeof(st->functions)) == 0,
               "states differ");
    free(whole);
    free(st);
    return 0;
}
