// SPDX-License-Identifier: GPL-2.0-or-later
// ir-throttle: keys of an infrared remote, read as input event records, become loco command
// frames on CAN.
#pragma once

#include "canudp.h"

#include <cstddef>
#include <cstdint>
#include <linux/input.h>
#include <net/if.h>

constexpr int32_t THROTTLE_DEFAULT_LOCO = 5;
constexpr int32_t THROTTLE_DEFAULT_STEP = 16;
constexpr int32_t THROTTLE_MAX_SPEED = 1000;
// A press sends a raw and a scan event and a held key repeats: only one event per 250 ms acts.
constexpr int64_t THROTTLE_REPEAT_GUARD_US = 250000;
constexpr size_t THROTTLE_DEVICE_SIZE = 256;
// One read takes up to 64 records of the build's own layout (16 bytes on armhf, 24 on x86_64).
constexpr size_t THROTTLE_READ_SIZE = 64 * sizeof(struct input_event);

struct throttle_settings {
    int32_t loco_id;                    // full value printed, low 8 bits sent
    int32_t step;                       // speed change per key press, used as given
    char interface[IFNAMSIZ];           // at most 15 characters
    char device[THROTTLE_DEVICE_SIZE];  // at most 254 characters
};

struct throttle_state {
    int32_t loco_id;
    int32_t step;
    int32_t speed;
    int direction;   // 0 or 1; sent plus 1
    int start_stop;  // 0 or 1
    uint8_t functions[32];
    int key_seen;            // 0 until the first event passed the guard: that one always acts
    int64_t last_key_time;   // microseconds, of the last event that passed the guard
    CanUdpFrame frame;       // the outgoing frame, copied from a template for every key
};

// Defaults: loco 5, step 16, "can0", "/dev/input/event1".
void throttle_defaults(throttle_settings *settings);

// Reads the command line. Returns -1 to go on, or 0 after the usage text.
int parse_throttle_options(int argc, char **argv, throttle_settings *settings);

// Run state at start: all zero, loco id and step from the settings.
void throttle_start(const throttle_settings *settings, throttle_state *st);

// Acts on one key (the low 8 bits of value): prints its line and sends its frame to
// can_socket, or prints "unhandled value 0x%02x\n" with the full value.
//   key 16 -> "loco 5 speed + 16\n" and 00 08 03 00 | 06 | 00 00 40 05 00 10 00 00
void handle_key(throttle_state *st, int32_t value, int can_socket);

// The records in len bytes as read from the input device (whole struct input_event records,
// any rest ignored): EV_MSC MSC_RAW/MSC_SCAN events that come at least 250 ms after the last
// one that passed (on their own time stamps) act as keys; the first always does.
void handle_input(const uint8_t *buf, size_t len, throttle_state *st, int can_socket);
