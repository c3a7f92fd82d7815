// SPDX-License-Identifier: GPL-2.0-or-later
#include "canudp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <unistd.h>

uint32_t can_udp_frame_id(const CanUdpFrame *frame)
{
    return (uint32_t)frame->id[0] << 24 | (uint32_t)frame->id[1] << 16 |
           (uint32_t)frame->id[2] << 8 | frame->id[3];
}

void can_udp_frame_set_id(CanUdpFrame *frame, uint32_t id)
{
    frame->id[0] = (uint8_t)(id >> 24);
    frame->id[1] = (uint8_t)(id >> 16);
    frame->id[2] = (uint8_t)(id >> 8);
    frame->id[3] = (uint8_t)id;
}

void udp_to_can_frame(const CanUdpFrame *udp, struct can_frame *can)
{
    memset(can, 0, sizeof(*can));
    can->can_id = (can_udp_frame_id(udp) & CAN_EFF_MASK) | CAN_EFF_FLAG;
    can->can_dlc = udp->dlc;
    memcpy(can->data, udp->data, sizeof(can->data));
}

void can_to_udp_frame(const struct can_frame *can, CanUdpFrame *udp)
{
    can_udp_frame_set_id(udp, can->can_id & CAN_EFF_MASK);
    udp->dlc = can->can_dlc;
    // The kernel never hands us more than 8, but never index by a length we did not check.
    size_t n = can->can_dlc < sizeof(udp->data) ? can->can_dlc : sizeof(udp->data);
    memcpy(udp->data, can->data, n);
}

int can_write_frame(int can_socket, struct can_frame *frame)
{
    frame->can_id = (frame->can_id & CAN_EFF_MASK) | CAN_EFF_FLAG;
    if (write(can_socket, frame, sizeof(*frame)) != (ssize_t)sizeof(*frame)) {
        fprintf(stderr, "error writing CAN frame: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

void can_send_udp_frame(int can_socket, const CanUdpFrame *frame)
{
    struct can_frame can;
    udp_to_can_frame(frame, &can);
    can_write_frame(can_socket, &can);
}

int microsleep(int32_t usec)
{
    if (usec < 0)
        return 0;
    // 64-bit split: a plain usec * 1000 overflows 32 bits and the kernel refuses tv_nsec >= 1e9.
    int64_t nsec = (int64_t)usec * 1000;
    struct timespec ts;
    ts.tv_sec = (time_t)(nsec / 1000000000);
    ts.tv_nsec = (long)(nsec % 1000000000);
    return nanosleep(&ts, nullptr);
}

static int trace_muted;  // standard output is the null device

int trace_skip_null_output()
{
    struct stat st;
    trace_muted = fstat(STDOUT_FILENO, &st) == 0 && S_ISCHR(st.st_mode) &&
                  st.st_rdev == makedev(1, 3);
    return trace_muted;
}

int trace_wanted()
{
    return !trace_muted;
}

void print_timestamp()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t seconds = tv.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    printf("%02d:%02d:%02d.%06d ", local.tm_hour, local.tm_min, local.tm_sec, (int)tv.tv_usec);
}

// Valid data bytes, then the rest in parentheses, or a single space when all 8 are valid.
static void print_data_with_tail(const CanUdpFrame *frame)
{
    unsigned dlc = frame->dlc < 8 ? frame->dlc : 8;
    for (unsigned i = 0; i < dlc; i++)
        printf(" %02x", frame->data[i]);
    if (dlc > 7) {
        fputs(" \n", stdout);
        return;
    }
    printf("(%02x", frame->data[dlc]);
    for (unsigned i = dlc + 1; i < 8; i++)
        printf(" %02x", frame->data[i]);
    fputs(")\n", stdout);
}

void trace_udp_frame(const CanUdpFrame *frame, uint32_t value)
{
    if (trace_muted)
        return;
    print_timestamp();
    printf("[0x%08X] ->S88>UDP  CANID 0x%08X   [%u]", value, can_udp_frame_id(frame), frame->dlc);
    print_data_with_tail(frame);
}

void trace_udp_frame(const CanUdpFrame *frame)
{
    if (trace_muted)
        return;
    print_timestamp();
    printf("         UDP->  0x%08X   [%u]", can_udp_frame_id(frame), frame->dlc);
    print_data_with_tail(frame);
}

void trace_can_frame(const struct can_frame *frame, int enabled)
{
    if (!enabled || trace_muted)
        return;
    printf("->CAN>UDP CANID 0x%08X  ", frame->can_id & CAN_EFF_MASK);
    printf(" [%d]", frame->can_dlc);
    unsigned n = frame->can_dlc < 8 ? frame->can_dlc : 8;
    for (unsigned i = 0; i < n; i++)
        printf(" %02x", frame->data[i]);
    putchar('\n');
}
