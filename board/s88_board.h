// SPDX-License-Identifier: GPL-2.0-or-later
// The virtual board's S88 bus as the emulator plays it: a bus script, the four lines as bits of
// the PIO data registers, and the bus model fed from them. Pure: it works on a copy of the
// register page (4096 bytes, the page of the PIO window that holds the data registers), so the
// qemu plugin (s88_bus_plugin.cpp) and the unit tests drive it alike.
//
// A bus script is a name and words, separated by spaces:
//   plain close:3 close:16 open:3@6      contacts 3 and 16 closed, 3 opens after cycle 6
//   modules:2 invert:1 pins:PI20/PH3/PI21/PH5 (DATA/CLOCK/LOAD/RESET, the reporter's -c order)
//   toggle:9/7                           contact 9 changes after cycles 7, 14, 21, ...
//   train:13-20@50/100                   contact 13 occupied after cycle 50, 14 after 150, ...,
//                                        each freed two periods later; every change bounces
//                                        (undone after one cycle, made again after two)
//   wire:LOAD|CLOCK|RESET                no modules: DATA is wired to that line (s88-check's
//                                        loop-back steps)
//
// The board's set-up names the bus it wants by writing the name at S88_NAME_OFFSET of the
// window and then S88_ANNOUNCE at S88_SIGNAL_OFFSET; the emulator answers in that word at once
// (S88_ATTACHED, S88_UNKNOWN or S88_DETACHED for the empty name), before the next instruction.
#pragma once

#include "s88_bus.h"

#include <cstddef>
#include <cstdint>

constexpr unsigned S88_PAGE_SIZE = 4096;
// Bank I's drive register 0, which the kit never uses.
constexpr unsigned S88_SIGNAL_OFFSET = 0x934;
constexpr unsigned S88_NAME_OFFSET = 0xE00;
constexpr unsigned S88_NAME_MAX = 64;  // with its terminating zero
constexpr uint32_t S88_ANNOUNCE = 0x53383842;  // "S88B"
constexpr uint32_t S88_ATTACHED = 0x53383841;  // "S88A"
constexpr uint32_t S88_UNKNOWN = 0x5338383F;   // "S88?"
constexpr uint32_t S88_DETACHED = 0x53383844;  // "S88D"

enum S88Line { S88_DATA, S88_CLOCK, S88_LOAD, S88_RESET };

struct S88Board {
    char name[S88_NAME_MAX] = "";
    S88Bus bus;
    unsigned pins[4] = {276, 227, 277, 229};  // DATA, CLOCK, LOAD, RESET
    unsigned invert = 0;
    int wire = -1;  // S88_CLOCK, S88_LOAD or S88_RESET: DATA follows that line's level
    // The per-cycle record: CLOCK pulses and RESETs counted at the latest load.
    unsigned pulses_at_load = 0, resets_at_load = 0;
};

// Reads a bus script into *board. False with the offending word in why (one line) when a word
// is malformed or out of range.
bool s88_board_parse(S88Board *board, const char *script, char *why, size_t why_size);

// Whether a store at this page offset can move a bus line (one of the three lines' data words).
bool s88_board_watches(const S88Board &board, unsigned offset);

// After a store to the page: feeds the line levels to the bus and puts the bus's DATA level
// (or the wired line's) into DATA's bit, changing nothing else of the page.
void s88_board_step(S88Board *board, volatile uint32_t *page);

// Puts the lines at their idle level and DATA at what the bus gives before any pulse (for a wire:
// DATA at the wired line's level, the lines left as they are).
void s88_board_idle(S88Board *board, volatile uint32_t *page);
