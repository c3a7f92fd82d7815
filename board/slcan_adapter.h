// SPDX-License-Identifier: GPL-2.0-or-later
// A serial-line CAN adapter, the virtual board's CAN interface: the adapter's side of the SLCAN
// line protocol as the kernel's slcan driver and can-utils' slcand speak it. The host writes
// commands, each ending in CR; the adapter answers CR when it did it, BEL when it refuses, and
// "z" CR or "Z" CR for a standard or extended frame it put on the bus, as Lawicel's adapters do:
//   C          close the channel (refused when it is not open)
//   S0 .. S8   bit rate 10, 20, 50, 100, 125, 250, 500, 800 or 1000 kbit/s (channel closed)
//   O, L       open the channel, normally or listening only (channel closed, a bit rate set)
//   tIIILDD..  a standard frame: 3 id digits, the length 0-8, its bytes in hex
//   TIIIIIIIILDD..  an extended frame (8 id digits); rIIIL and RIIIIIIIIL remote requests
//              (channel open, not listening only)
// Anything else is refused, the BTR timing command sXXYY and bit rates past S8 included. Frames
// from the bus reach the host in the same text, while its channel is open at their bit rate.
// Pure: bytes in, answers and frames out; board/slcan_bus.cpp joins adapters to their lines.
//
//   SlcanAdapter a;                  SlcanCommand c;
//   for (char b : "S5\rO\rT1ABCDEF02CCDD\r") if (slcan_take(&a, b, &c)) ...
//     -> "S5": answer "\r", a.bitrate 250000; "O": "\r", a.open; the frame: "Z\r", c.frame
#pragma once

#include <cstddef>
#include <cstdint>

// The longest command, an extended frame of 8 bytes, is 26 characters.
constexpr size_t SLCAN_LINE_MAX = 32;

struct SlcanFrame {
    uint32_t id = 0;
    bool extended = false, remote = false;
    uint8_t len = 0;
    uint8_t data[8] = {};
};

struct SlcanAdapter {
    unsigned bitrate = 0;  // bit/s; 0 until an S command set one
    bool open = false, listen_only = false;
    char line[SLCAN_LINE_MAX + 1] = "";
    size_t length = 0;
    bool overlong = false;
};

// What one command came to.
struct SlcanCommand {
    char text[SLCAN_LINE_MAX + 1] = "";  // as the host wrote it, without its CR (cut if overlong)
    const char *answer = "";        // "\r", "\a", "z\r" or "Z\r"
    const char *what = "";          // what the adapter did, or why it refused
    bool refused = false;
    bool frame = false;             // a frame for the bus, in out
    SlcanFrame out;
};

// Takes one byte the host wrote: true when it ended a command, described in *command. An empty
// command and line feeds are passed over.
bool slcan_take(SlcanAdapter *adapter, char byte, SlcanCommand *command);

// A frame from the bus, sent at `bitrate`, as the text this adapter writes to its host
// ("T1ABCDEF02CCDD\r"): false, and nothing to write, unless its channel is open at that rate.
bool slcan_deliver(const SlcanAdapter &adapter, unsigned bitrate, const SlcanFrame &frame,
                   char *text, size_t size);

// The frame as candump -L writes it: "1ABCDEF0#CCDD", "123#", "7FF#R", "12345678#R3".
void slcan_frame_text(const SlcanFrame &frame, char *text, size_t size);
