// SPDX-License-Identifier: GPL-2.0-or-later
// A CanUdpFrame as the text token of can-utils: "ID#DATA", as cansend takes it and as a candump
// log line carries it. Only extended frames: the LAN carries no other kind.
#pragma once

#include "canudp.h"

#include <cstddef>

// Longest token: 8 id digits, '#', 16 data digits, the terminator.
constexpr size_t FRAME_TEXT_SIZE = 26;

// Frame -> token, upper-case hex, the id always as 8 digits (extended), the top 3 id bits
// dropped, the data without separators; a dlc above 8 shows the 8 bytes the frame holds.
//   00 23 03 00 | 08 | 00 00 00 20 00 01 00 00 -> "00230300#0000002000010000"
//   00 30 03 00 | 00 | ...                     -> "00300300#"
// Returns the token's length.
size_t format_frame_text(const CanUdpFrame *frame, char *text);

// Token -> frame, cansend's syntax for a classic extended frame: 8 hex digits of id (at most
// 0x1FFFFFFF), '#', 0 to 8 bytes of 2 hex digits each, any byte optionally preceded by '.'.
//   "00080300#00.00.40.07.01.2C" -> 00 08 03 00 | 06 | 00 00 40 07 01 2c 00 00
// Returns 0, or -1 with *why saying what is wrong (the frame is then unspecified).
int parse_frame_text(const char *text, CanUdpFrame *frame, const char **why);

// One hex digit's value (either case), or -1 for any other character.
int hex_value(char c);
