// SPDX-License-Identifier: GPL-2.0-or-later
// s88-check: an interactive wiring test of the S88 bus lines, paced by the Enter key.
#pragma once

#include <cstdint>

// The bus lines of s88-reporter's defaults; fixed in this tool.
constexpr unsigned CHECK_CLOCK_PIN = 227;  // PH3
constexpr unsigned CHECK_LOAD_PIN = 277;   // PI21
constexpr unsigned CHECK_RESET_PIN = 229;  // PH5
constexpr unsigned CHECK_DATA_PIN = 276;   // PI20

// Reads the command line. *invert gets the lowest bit of -i. Returns -1 to go on, or the exit
// status after the usage text or an error message.
int parse_check_options(int argc, char **argv, uint8_t *invert);

// Opens the GPIO block and sets the lines' directions. Returns 0, or 1 after
// "Can't open IO mem: %s\n" on stderr.
int open_bus_lines();

// Drives CLOCK, LOAD and RESET all low, then all high, for a multimeter at U3-U5 pin 2.
void run_multimeter_test();

// With one output line at a time wired to DATA: drives it low, then high, and reports DATA
// after each step.
void run_loopback_test(uint8_t invert);

// Waits for a key, says "set <label> low" or "... high", drives pin 0 or 1 (whatever -i says).
void prompt_and_set(const char *label, unsigned pin, int high);

// "Data pin low" when DATA reads the invert flag, "Data pin high" otherwise.
void report_data_pin(uint8_t invert);
