// SPDX-License-Identifier: GPL-2.0-or-later
#include "gpio_sim.h"

#include <cerrno>

GpioSim gpio_sim;

std::vector<GpioCall> GpioSim::writes() const
{
    std::vector<GpioCall> out;
    for (const auto &c : calls)
        if (c.kind == GpioCall::WRITE)
            out.push_back(c);
    return out;
}

static void note(GpioCall::Kind kind, unsigned pin, unsigned value)
{
    if (gpio_sim.record)
        gpio_sim.calls.push_back({kind, pin, value});
}

static bool active(unsigned pin)
{
    return gpio_sim.written[pin] && ((gpio_sim.level[pin] ^ gpio_sim.invert) & 1);
}

int gpio_aw_open(const char *path)
{
    note(GpioCall::OPEN, 0, 0);
    gpio_sim.opened_path = path;
    if (gpio_sim.fail_open) {
        errno = ENOENT;
        return -1;
    }
    gpio_sim.is_open = true;
    return 3;
}

int gpio_aw_close()
{
    bool was_open = gpio_sim.is_open;
    gpio_sim.is_open = false;
    return was_open ? 0 : -1;
}

void gpio_aw_set_pull(unsigned pin, uint32_t mode)
{
    note(GpioCall::SET_PULL, pin, mode);
}

void gpio_aw_set_input(unsigned pin)
{
    note(GpioCall::SET_INPUT, pin, 0);
}

void gpio_aw_set_output(unsigned pin)
{
    note(GpioCall::SET_OUTPUT, pin, 0);
}

int gpio_aw_read(unsigned pin, uint8_t *level)
{
    if (!gpio_sim.is_open || pin >= GPIO_AW_PIN_COUNT)
        return -1;
    if (pin == gpio_sim.data_pin) {
        if (gpio_sim.wire_pin >= 0)
            *level = gpio_sim.level[gpio_sim.wire_pin];
        else if (gpio_sim.wire_pin == WIRE_TO_LAST_WRITTEN)
            *level = gpio_sim.level[gpio_sim.last_written];
        else
            *level = (uint8_t)((gpio_sim.bus && gpio_sim.bus->data()) ^ gpio_sim.invert);
    } else {
        *level = gpio_sim.level[pin];
    }
    note(GpioCall::READ, pin, *level);
    return 0;
}

int gpio_aw_write(unsigned pin, unsigned value)
{
    if (!gpio_sim.is_open || pin >= GPIO_AW_PIN_COUNT)
        return -1;
    gpio_sim.level[pin] = value != 0;
    gpio_sim.written[pin] = true;
    gpio_sim.last_written = pin;
    note(GpioCall::WRITE, pin, gpio_sim.level[pin]);
    if (gpio_sim.bus && (pin == gpio_sim.clock_pin || pin == gpio_sim.load_pin ||
                         pin == gpio_sim.reset_pin))
        gpio_sim.bus->set_lines(active(gpio_sim.load_pin), active(gpio_sim.clock_pin),
                                active(gpio_sim.reset_pin));
    return 0;
}

int gpio_aw_release(unsigned pin, int)
{
    if (!gpio_sim.is_open || pin >= GPIO_AW_PIN_COUNT)
        return -1;
    note(GpioCall::RELEASE, pin, 0);
    return 0;
}
