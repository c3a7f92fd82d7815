// SPDX-License-Identifier: GPL-2.0-or-later
// CAN frames on the LAN and on the bus: the 13-byte UDP record, its conversions to and from the
// kernel's struct can_frame, the CAN write routines, the bus-timing sleep and the trace lines.
#pragma once

#include <cstdint>
#include <linux/can.h>

// One CAN frame in one UDP datagram, exactly 13 bytes, no padding:
//   id   29-bit CAN identifier, most significant byte first; the top 3 bits are zero when we
//        build a frame and are discarded when we read one
//   dlc  number of valid data bytes, 0 to 8
//   data all 8 bytes always present; bytes from dlc on are not significant
struct CanUdpFrame {
    uint8_t id[4];
    uint8_t dlc;
    uint8_t data[8];
};
static_assert(sizeof(CanUdpFrame) == 13, "CanUdpFrame must be exactly 13 bytes on the wire");

// Identifier bytes 0-3 read most significant first: 00 23 03 00 -> 0x00230300.
uint32_t can_udp_frame_id(const CanUdpFrame *frame);
// Store an identifier most significant byte first: 0x00230300 -> 00 23 03 00.
void can_udp_frame_set_id(CanUdpFrame *frame, uint32_t id);

// UDP record -> kernel frame (all of *can is written).
//   id 9F FF FF FF -> can_id 0x9FFFFFFF; id E0 00 00 01 -> 0x80000001 (flags stripped, EFF set)
//   can_dlc = dlc unchecked; all 8 data bytes copied whatever dlc says; reserved bytes zero.
void udp_to_can_frame(const CanUdpFrame *udp, struct can_frame *can);

// Kernel frame carrying CAN_EFF_FLAG -> UDP record.
//   can_id 0x80000123, can_dlc 2 -> 00 00 01 23 | 02 | data[0] data[1]
// Only the first can_dlc data bytes are written (at most 8); the rest keep what *udp held.
void can_to_udp_frame(const struct can_frame *can, CanUdpFrame *udp);

// Forces the frame to extended form (in place) and writes it whole to a CAN raw socket.
// Returns 0, or -1 after "error writing CAN frame: %s\n" on stderr. No retry.
int can_write_frame(int can_socket, struct can_frame *frame);

// udp_to_can_frame into a zeroed kernel frame, then can_write_frame. Failures are reported
// by can_write_frame only; the caller goes on either way.
void can_send_udp_frame(int can_socket, const CanUdpFrame *frame);

// Sleeps usec microseconds with one nanosleep (never a busy wait); counts of a second or more
// sleep in full, a negative count sleeps nothing. Returns nanosleep's result (0 for usec < 0).
int microsleep(int32_t usec);

// Trace lines written to the null device (character device 1,3, where a service manager's
// StandardOutput=null puts them) are formatted and written for nothing, one system call per
// frame. A program calls this once at start-up: when standard output is the null device, the
// trace helpers below print nothing from then on. Returns 1 in that case, else 0.
int trace_skip_null_output();
// 0 once trace_skip_null_output() has found the null device; lines a program traces itself
// are skipped the same way.
int trace_wanted();

// Local time of day as "HH:MM:SS.uuuuuu " on stdout, no newline.
void print_timestamp();

// Trace line of an S88 event frame sent by the reporter, value = its scan cycle count:
//   "12:00:00.000001 [0x00000004] ->S88>UDP  CANID 0x00230300   [8] 00 00 00 01 00 01 00 00 \n"
void trace_udp_frame(const CanUdpFrame *frame, uint32_t value);
// Trace line of the beacon frame:
//   "12:00:00.000001          UDP->  0x00300300   [0](00 00 00 00 00 00 00 00)\n"
void trace_udp_frame(const CanUdpFrame *frame);

// Trace line of a frame forwarded by the gateway (either direction), nothing if !enabled:
//   "->CAN>UDP CANID 0x00123456   [2] 11 22\n"
// At most the 8 bytes the frame holds are printed, whatever can_dlc says.
void trace_can_frame(const struct can_frame *frame, int enabled);
