// SPDX-License-Identifier: GPL-2.0-or-later
#include "s88_bus.h"

S88Bus::S88Bus(int modules_) : modules(modules_ < 0 ? 0 : modules_ > S88_MAX_MODULES ? S88_MAX_MODULES : modules_)
{
}

static bool in_chain(const S88Bus &bus, unsigned contact)
{
    return contact >= 1 && contact <= 16u * (unsigned)bus.modules;
}

S88Bus &S88Bus::closed(std::initializer_list<unsigned> contacts)
{
    for (unsigned c : contacts)
        set_contact(c, true);
    return *this;
}

S88Bus &S88Bus::close_after(unsigned cycle, unsigned contact)
{
    if (change_count < S88_MAX_CHANGES)
        changes[change_count++] = {cycle, contact, true, false};
    else
        overflowed = true;
    return *this;
}

S88Bus &S88Bus::open_after(unsigned cycle, unsigned contact)
{
    if (change_count < S88_MAX_CHANGES)
        changes[change_count++] = {cycle, contact, false, false};
    else
        overflowed = true;
    return *this;
}

S88Bus &S88Bus::toggle_every(unsigned period, unsigned contact)
{
    if (period > 0 && change_count < S88_MAX_CHANGES)
        changes[change_count++] = {period, contact, false, true};
    else if (period > 0)
        overflowed = true;
    return *this;
}

void S88Bus::set_contact(unsigned c, bool closed_now)
{
    if (!in_chain(*this, c))
        return;
    contact[c - 1] = closed_now;
    if (closed_now)
        memory[c - 1] = true;
}

void S88Bus::load_chain()
{
    for (int i = 0; i < 16 * modules; i++)
        chain[i] = memory[i];
    position = 0;
}

void S88Bus::apply_changes(unsigned cycle)
{
    for (int i = 0; i < change_count; i++) {
        const S88Change &c = changes[i];
        bool now;
        if (c.toggle && cycle % c.after_cycle == 0 && in_chain(*this, c.contact))
            now = !contact[c.contact - 1];
        else if (!c.toggle && c.after_cycle == cycle)
            now = c.closed;
        else
            continue;
        set_contact(c.contact, now);
        if (on_change && in_chain(*this, c.contact))
            on_change(cycle, c.contact, now);
    }
}

void S88Bus::set_lines(bool load, bool clock, bool reset)
{
    if (clock && !clock_line) {
        clock_pulses++;
        if (load) {
            load_chain();
            loads++;
            apply_changes(loads);
        } else {
            position++;
        }
    }
    if (reset && !reset_line) {
        resets++;
        for (int i = 0; i < 16 * modules; i++)
            memory[i] = contact[i];
    }
    clock_line = clock;
    reset_line = reset;
}

bool S88Bus::data() const
{
    // Past the last module nothing drives the chain's input.
    return position < 16u * (unsigned)modules && chain[position];
}
