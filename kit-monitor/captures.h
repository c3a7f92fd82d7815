// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's captures: every 13-byte datagram as a candump log line (-L) and as a pcap record
// of link type 227, LINKTYPE_CAN_SOCKETCAN (-w). Each burst's records go out with one write()
// per file, whole, so a killed monitor leaves files that canplayer, python-can and Wireshark
// read up to the last burst.
#pragma once

#include "output.h"

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

// "(0000000012.000034) can0 00230300#0000000D00010000\n" plus the terminator.
constexpr size_t LOG_LINE_SIZE = 64;
constexpr size_t PCAP_HEADER_SIZE = 24;
constexpr size_t PCAP_RECORD_SIZE = 32;  // 16-byte record header and a 16-byte classic frame

// One 13-byte frame received at when -> its candump log line, newline included, as
// "(%010llu.%06llu) IFACE ID#DATA" (the token of format_frame_text). Returns the length.
//   12.000034 s, "can0", 00 30 03 00 | 00 | ... -> "(0000000012.000034) can0 00300300#\n"
size_t format_log_line(const uint8_t *frame, const struct timeval *when, const char *interface,
                       char *line, size_t size);

// The pcap file header: little-endian, version 2.4, snap length 65535, link type 227.
void format_pcap_header(uint8_t *header);

// One 13-byte frame -> its pcap record: time and lengths (16) little-endian, then the SocketCAN
// frame: id with the extended flag, big-endian; length min(dlc, 8); flags; reserved; the length
// code when dlc is 9 to 15 (what the 8 bytes cannot say); 8 data bytes, zero past the length.
//   00 23 03 00 | 08 | d0..d7 -> ... 80 23 03 00 08 00 00 00 d0 .. d7
void format_pcap_record(const uint8_t *frame, const struct timeval *when, uint8_t *record);

// Opens the captures asked for ("-" as log_path: standard output, through its queue), the pcap
// with its header. Returns the output, or null after "cannot write PATH: REASON".
const monitor_output *captures_output(const char *log_path, const char *pcap_path, const char *interface);
