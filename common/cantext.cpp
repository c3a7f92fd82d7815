// SPDX-License-Identifier: GPL-2.0-or-later
#include "cantext.h"

#include <cstring>

static const char hex_digits[] = "0123456789ABCDEF";

size_t format_frame_text(const CanUdpFrame *frame, char *text)
{
    uint32_t id = can_udp_frame_id(frame) & CAN_EFF_MASK;
    size_t n = 0;
    for (int shift = 28; shift >= 0; shift -= 4)
        text[n++] = hex_digits[(id >> shift) & 0xF];
    text[n++] = '#';
    for (int i = 0; i < frame->dlc && i < 8; i++) {
        text[n++] = hex_digits[frame->data[i] >> 4];
        text[n++] = hex_digits[frame->data[i] & 0xF];
    }
    text[n] = '\0';
    return n;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int parse_frame_text(const char *text, CanUdpFrame *frame, const char **why)
{
    memset(frame, 0, sizeof(*frame));
    const char *hash = strchr(text, '#');
    size_t id_digits = hash ? (size_t)(hash - text) : strlen(text);
    if (!hash) {
        *why = "no '#' between identifier and data";
        return -1;
    }
    // A 3-digit id is a standard frame, which nothing on the LAN side can carry.
    if (id_digits != 8) {
        *why = "the identifier must be 8 hex digits: extended frames only";
        return -1;
    }
    uint32_t id = 0;
    for (size_t i = 0; i < 8; i++) {
        int v = hex_value(text[i]);
        if (v < 0) {
            *why = "the identifier is not hex";
            return -1;
        }
        id = id << 4 | (uint32_t)v;
    }
    if (id > CAN_EFF_MASK) {
        *why = "the identifier is above 1FFFFFFF";
        return -1;
    }
    can_udp_frame_set_id(frame, id);
    const char *p = hash + 1;
    if (*p == '#' || *p == 'R' || *p == 'r') {
        *why = "CAN FD and remote frames cannot be carried";
        return -1;
    }
    while (*p) {
        if (*p == '.')
            p++;
        int high = hex_value(p[0]);
        int low = high < 0 ? -1 : hex_value(p[1]);
        if (high < 0 || low < 0) {
            *why = "the data must be pairs of hex digits";
            return -1;
        }
        if (frame->dlc == 8) {
            *why = "more than 8 data bytes";
            return -1;
        }
        frame->data[frame->dlc++] = (uint8_t)(high << 4 | low);
        p += 2;
    }
    return 0;
}
