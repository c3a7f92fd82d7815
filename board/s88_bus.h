// SPDX-License-Identifier: GPL-2.0-or-later
// A model of the S88 feedback bus for tests: a chain of modules, each a 16-bit shift register
// with a contact memory. Lines are given as logical levels (true = active).
//   - CLOCK going active while LOAD is active takes every module's contact memory into its
//     shift register;
//   - RESET going active clears the contact memories (contacts still closed latch again);
//   - CLOCK going active with LOAD inactive shifts the chain by one bit towards the board;
//   - DATA shows the first bit: contact 1 of module 0 right after a load.
// A closed contact latches its memory, so a closure is seen by the next load even if the
// contact opened again meanwhile. Contacts are numbered along the chain: contact j (1-16) of
// module m is 16 * m + j, as s88-reporter numbers them with offset 0.
//
//   S88Bus bus(3);                              // 3 modules
//   bus.closed({5, 17}).open_after(6, 5);       // contacts 5 and 17 closed, open 5 after cycle 6
//   bus.toggle_every(7, 9);                     // contact 9 changes after cycles 7, 14, 21, ...
//
// Cycle n is the n-th load; a change "after cycle n" happens right after that load took the
// contacts in (before its RESET), so cycle n still sees the old state and cycle n + 1 the new.
#pragma once

#include <cstdint>
#include <initializer_list>

constexpr int S88_MAX_MODULES = 32;
constexpr int S88_MAX_CONTACTS = 16 * S88_MAX_MODULES;
constexpr int S88_MAX_CHANGES = 64;

struct S88Change {
    unsigned after_cycle;  // or, for a toggle, its period
    unsigned contact;
    bool closed;
    bool toggle;           // flips after every multiple of after_cycle
};

struct S88Bus {
    explicit S88Bus(int modules = 1);

    // Script, readable as a sentence; contacts outside the chain are ignored.
    S88Bus &closed(std::initializer_list<unsigned> contacts);
    S88Bus &close_after(unsigned cycle, unsigned contact);
    S88Bus &open_after(unsigned cycle, unsigned contact);
    // Flips the contact after every period-th cycle, for ever (long runs).
    S88Bus &toggle_every(unsigned period, unsigned contact);

    // Opens or closes a contact now.
    void set_contact(unsigned contact, bool closed);

    // New logical levels of the three output lines; edges take effect at once.
    void set_lines(bool load, bool clock, bool reset);
    // Contact bit on DATA (true = closed contact).
    bool data() const;

    // Set once a scripted change found no room (more than S88_MAX_CHANGES) and was dropped.
    bool overflowed = false;

    // Called for every scripted change as it takes effect (a bus that logs its history).
    void (*on_change)(unsigned cycle, unsigned contact, bool closed) = nullptr;

    int modules;
    unsigned loads = 0;         // cycles: CLOCK pulses with LOAD active
    unsigned clock_pulses = 0;  // all CLOCK pulses
    unsigned resets = 0;

private:
    void load_chain();
    void apply_changes(unsigned cycle);

    bool clock_line = false, reset_line = false;
    bool contact[S88_MAX_CONTACTS] = {};
    bool memory[S88_MAX_CONTACTS] = {};
    bool chain[S88_MAX_CONTACTS] = {};
    unsigned position = 0;  // bits shifted out since the load
    S88Change changes[S88_MAX_CHANGES] = {};
    int change_count = 0;
};
