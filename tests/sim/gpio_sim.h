// SPDX-License-Identifier: GPL-2.0-or-later
// The GPIO library's interface (gpio_aw.h) implemented against the S88 bus model, linked in
// place of the real library so the reporter's scan and s88-check run in-process.
//   - writes to the CLOCK, LOAD and RESET pins drive the bus (with the invert setting, a low
//     level is active); reading DATA gives the bus's first bit, inverted likewise;
//   - with a wire set, DATA reads the level last written to that pin instead (loop-back test);
//   - every call that touches a pin is recorded in order.
#pragma once

#include "gpio_aw.h"
#include "s88_bus.h"

#include <string>
#include <vector>

struct GpioCall {
    enum Kind { OPEN, SET_OUTPUT, SET_INPUT, SET_PULL, WRITE, READ, RELEASE } kind;
    unsigned pin;
    unsigned value;  // level written or read, pull mode
    bool operator==(const GpioCall &o) const
    {
        return kind == o.kind && pin == o.pin && value == o.value;
    }
};

constexpr int WIRE_TO_LAST_WRITTEN = -2;

struct GpioSim {
    S88Bus *bus = nullptr;
    unsigned data_pin = 276, clock_pin = 227, load_pin = 277, reset_pin = 229;
    unsigned invert = 0;   // 1: lines active low, DATA low for a closed contact
    int wire_pin = -1;     // >= 0: DATA is wired to this pin; WIRE_TO_LAST_WRITTEN: to the
                           // pin written last (a technician moving the wire as told)
    bool fail_open = false;
    bool record = true;

    std::vector<GpioCall> calls;
    std::string opened_path;
    bool is_open = false;
    uint8_t level[GPIO_AW_PIN_COUNT] = {};  // last level written per pin
    bool written[GPIO_AW_PIN_COUNT] = {};   // lines never written count as inactive
    unsigned last_written = 0;

    // Only the writes, in order.
    std::vector<GpioCall> writes() const;
};

// The one simulated GPIO block of the process; tests start from gpio_sim = GpioSim().
extern GpioSim gpio_sim;
