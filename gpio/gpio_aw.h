// SPDX-License-Identifier: GPL-2.0-or-later
// Pin-by-pin access to the Allwinner PIO block through a mapping of /dev/mem, with lazy pin
// set-up: a pin gets its pull-up and direction on its first read or write, and its direction
// register is rewritten only when it moves between reading and writing. One instance per
// process (file-scope state); messages go to stdout, prefixed with the routine's name.
#pragma once

#include <cstdint>

// Pin number = bank * 32 + n, bank A = 0 ... I = 8: PH3 = 227, PI20 = 276, PI31 = 287.
constexpr unsigned GPIO_AW_PIN_COUNT = 288;

// Physical window mapped by gpio_aw_open and the PIO registers in it (byte offsets).
constexpr uint32_t GPIO_AW_WINDOW_BASE = 0x01C20000;
constexpr uint32_t GPIO_AW_WINDOW_SIZE = 0x2000;
constexpr uint32_t gpio_aw_bank_offset(unsigned pin) { return 0x800 + 36 * (pin / 32); }
// Configuration word of a pin: 8 pins a word, 3-bit function at 4 * (n % 8); 0 in, 1 out.
constexpr uint32_t gpio_aw_config_offset(unsigned pin)
{
    return gpio_aw_bank_offset(pin) + 4 * (pin % 32 / 8);
}
// Data word of a bank: pin n is bit n.
constexpr uint32_t gpio_aw_data_offset(unsigned pin) { return gpio_aw_bank_offset(pin) + 0x10; }
// Pull word of a pin: 16 pins a word, 2 bits at 2 * (n % 16); 0 none, 1 pull-up.
constexpr uint32_t gpio_aw_pull_offset(unsigned pin)
{
    return gpio_aw_bank_offset(pin) + 0x1C + 4 * (pin % 32 / 16);
}

// Maps the register window of path ("/dev/mem") and forgets every pin's set-up.
// Returns the descriptor, or -1 after "gpio_aw_open: warning: ... failed [<error>]" (errno kept).
int gpio_aw_open(const char *path);
// Unmaps and closes. Returns 0, a positive value when close failed, or the (negative)
// descriptor when nothing was open. Pin operations return -1 afterwards.
int gpio_aw_close();

// Direct register changes: no range check, the caller passes a pin below 288 after a
// successful open. They do not mark the pin as set up.
void gpio_aw_set_pull(unsigned pin, uint32_t mode);  // mode 0 none, 1 pull-up
void gpio_aw_set_input(unsigned pin);                // function 0
void gpio_aw_set_output(unsigned pin);               // ORs 1 into the function field

// The level of pin into *level (0 or 1). Returns 0, or -1 (nothing read) for a pin of 288 or
// more or when no window is mapped.
int gpio_aw_read(unsigned pin, uint8_t *level);
// Drives pin low (value 0) or high (anything else). Returns 0, or -1 like gpio_aw_read.
int gpio_aw_write(unsigned pin, unsigned value);
// Pull off and input; with alternate set, PH0 and PH1 get function 4. Returns 0 or -1.
int gpio_aw_release(unsigned pin, int alternate);
