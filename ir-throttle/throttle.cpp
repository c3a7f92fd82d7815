// SPDX-License-Identifier: GPL-2.0-or-later
#include "throttle.h"

#include "cansocket.h"
#include "cli.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Command templates: identifier (most significant byte first), length, data 0-7. Loco frames
// carry 00 00 40 <loco> in data 0-3; the start/stop frame addresses no loco.
static const CanUdpFrame function_template = {{0x00, 0x0C, 0x03, 0x00}, 6, {0x00, 0x00, 0x40, 0, 0, 0, 0, 0}};
static const CanUdpFrame start_stop_template = {{0x00, 0x00, 0x03, 0x00}, 5, {0, 0, 0, 0, 0, 0, 0, 0}};
static const CanUdpFrame direction_template = {{0x00, 0x0A, 0x03, 0x00}, 5, {0x00, 0x00, 0x40, 0, 0, 0, 0, 0}};
static const CanUdpFrame speed_template = {{0x00, 0x08, 0x03, 0x00}, 6, {0x00, 0x00, 0x40, 0, 0, 0, 0, 0}};

// Keys of the remote (low 8 bits of the scan code); 0 to 9 are the function keys.
enum {
    REMOTE_START_STOP = 12,
    REMOTE_DIRECTION = 13,
    REMOTE_SPEED_UP = 16,
    REMOTE_SPEED_DOWN = 17,
};

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s -i <can interface> -r <infrared-interface> -s <step>\n", program_name(argv0));
    fprintf(stderr, "   Version 0.5\n\n");
    fprintf(stderr, "         -l <loco id>        loco id - default %d\n", THROTTLE_DEFAULT_LOCO);
    fprintf(stderr, "         -i <can int>        can interface - default can0\n");
    fprintf(stderr, "         -r <ir int>         infrared event interface - default /dev/input/event1\n");
    fprintf(stderr, "         -s <step>           speed setp - default %d\n", THROTTLE_DEFAULT_STEP);
}

static void copy_device_path(char *field, const char *text)
{
    memset(field, 0, THROTTLE_DEVICE_SIZE);
    strncpy(field, text, THROTTLE_DEVICE_SIZE - 2);
}

void throttle_defaults(throttle_settings *settings)
{
    memset(settings, 0, sizeof(*settings));
    settings->loco_id = THROTTLE_DEFAULT_LOCO;
    settings->step = THROTTLE_DEFAULT_STEP;
    copy_interface_name(settings->interface, "can0");
    copy_device_path(settings->device, "/dev/input/event1");
}

int parse_throttle_options(int argc, char **argv, throttle_settings *settings)
{
    int opt;
    while ((opt = getopt(argc, argv, "s:l:i:r:h?")) != -1) {
        switch (opt) {
        case 's':
            settings->step = atoi(optarg);
            break;
        case 'l':
            settings->loco_id = atoi(optarg);
            break;
        case 'i':
            copy_interface_name(settings->interface, optarg);
            break;
        case 'r':
            copy_device_path(settings->device, optarg);
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

void throttle_start(const throttle_settings *settings, throttle_state *st)
{
    memset(st, 0, sizeof(*st));
    st->loco_id = settings->loco_id;
    st->step = settings->step;
}

// Speed arithmetic in 64 bits: a huge or negative step saturates instead of overflowing.
static int32_t clamp_speed(int64_t speed)
{
    if (speed > INT32_MAX)
        return INT32_MAX;
    if (speed < INT32_MIN)
        return INT32_MIN;
    return (int32_t)speed;
}

// Copies a loco template and patches the loco id (low 8 bits) and data byte 4.
static void begin_loco_frame(throttle_state *st, const CanUdpFrame *tmpl, uint8_t data4)
{
    st->frame = *tmpl;
    st->frame.data[3] = (uint8_t)st->loco_id;
    st->frame.data[4] = data4;
}

// Speed in data bytes 4-5, most significant first; byte 4 carries only bits 8 and 9.
static void send_speed(throttle_state *st, int can_socket)
{
    begin_loco_frame(st, &speed_template, (uint8_t)((st->speed >> 8) & 0x03));
    st->frame.data[5] = (uint8_t)st->speed;
    can_send_udp_frame(can_socket, &st->frame);
}

// One line per key on standard output, unless it leads to the null device.
__attribute__((format(printf, 1, 2))) static void trace_key(const char *format, ...)
{
    if (!trace_wanted())
        return;
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void handle_key(throttle_state *st, int32_t value, int can_socket)
{
    int key = value & 0xFF;
    if (key <= 9) {
        st->functions[key] ^= 1;
        trace_key("function %d\n", key);
        begin_loco_frame(st, &function_template, (uint8_t)key);
        st->frame.data[5] = st->functions[key];
        can_send_udp_frame(can_socket, &st->frame);
    } else if (key == REMOTE_START_STOP) {
        st->start_stop ^= 1;
        trace_key("Start/Stop\n");
        st->frame = start_stop_template;
        st->frame.data[4] = (uint8_t)st->start_stop;
        can_send_udp_frame(can_socket, &st->frame);
    } else if (key == REMOTE_DIRECTION) {
        st->direction ^= 1;
        trace_key("Direction\n");
        begin_loco_frame(st, &direction_template, (uint8_t)(st->direction + 1));
        can_send_udp_frame(can_socket, &st->frame);
    } else if (key == REMOTE_SPEED_UP) {
        int64_t speed = (int64_t)st->speed + st->step;
        st->speed = speed >= THROTTLE_MAX_SPEED ? THROTTLE_MAX_SPEED : clamp_speed(speed);
        trace_key("loco %d speed + %d\n", st->loco_id, st->speed);
        send_speed(st, can_socket);
    } else if (key == REMOTE_SPEED_DOWN) {
        if (st->speed > 0)
            st->speed = clamp_speed((int64_t)st->speed - st->step);
        if (st->speed < 0)
            st->speed = 0;
        trace_key("loco %d speed - %d \n", st->loco_id, st->speed);
        send_speed(st, can_socket);
    } else {
        trace_key("unhandled value 0x%02x\n", (unsigned)value);
    }
}

// Microseconds of a record's time stamp, saturated rather than wrapped for absurd values.
static int64_t event_time_us(int64_t sec, int64_t usec)
{
    int64_t t;
    if (__builtin_mul_overflow(sec, (int64_t)1000000, &t))
        return sec < 0 ? INT64_MIN : INT64_MAX;
    if (__builtin_add_overflow(t, usec, &t))
        return usec < 0 ? INT64_MIN : INT64_MAX;
    return t;
}

// True when t is at least the guard time after the last key (never when it lies before it).
static int passes_guard(const throttle_state *st, int64_t t)
{
    if (!st->key_seen)
        return 1;
    if (t < st->last_key_time)
        return 0;
    return (uint64_t)t - (uint64_t)st->last_key_time >= (uint64_t)THROTTLE_REPEAT_GUARD_US;
}

void handle_input(const uint8_t *buf, size_t len, throttle_state *st, int can_socket)
{
    size_t records = len / sizeof(struct input_event);
    for (size_t i = 0; i < records; i++) {
        struct input_event ev;
        memcpy(&ev, buf + i * sizeof(ev), sizeof(ev));
        if (ev.type != EV_MSC || (ev.code != MSC_RAW && ev.code != MSC_SCAN))
            continue;
        int64_t t = event_time_us((int64_t)ev.input_event_sec, (int64_t)ev.input_event_usec);
        if (!passes_guard(st, t))
            continue;
        handle_key(st, ev.value, can_socket);
        st->key_seen = 1;
        st->last_key_time = t;
    }
}
