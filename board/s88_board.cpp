// SPDX-License-Identifier: GPL-2.0-or-later
#include "s88_board.h"

#include "gpio_aw.h"

#include <cstdio>
#include <cstring>

static bool refuse(char *why, size_t why_size, const char *word, const char *what)
{
    snprintf(why, why_size, "%s: %s", word, what);
    return false;
}

// "PI20" -> 276; false for anything that is not a pin.
static bool parse_pin(const char *text, size_t length, unsigned *pin)
{
    unsigned n = 0;
    if (length < 3 || length > 4 || (text[0] != 'P' && text[0] != 'p'))
        return false;
    char bank = (char)(text[1] & ~0x20);
    if (bank < 'A' || bank > 'I')
        return false;
    for (size_t i = 2; i < length; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        n = n * 10 + (unsigned)(text[i] - '0');
    }
    if (n > 31)
        return false;
    *pin = (unsigned)(bank - 'A') * 32 + n;
    return true;
}

static bool parse_pins(S88Board *board, const char *list)
{
    unsigned pins[4];
    for (int i = 0; i < 4; i++) {
        const char *end = strchr(list, i < 3 ? '/' : '\0');
        if (!end || !parse_pin(list, (size_t)(end - list), &pins[i]))
            return false;
        list = end + 1;
    }
    memcpy(board->pins, pins, sizeof pins);
    return true;
}

// The train run of the bus script: see s88_board.h.
static bool add_train_run(S88Bus *bus, unsigned first, unsigned last, unsigned start, unsigned period)
{
    if (last < first || period < 8 || (last - first + 1) * 6 > (unsigned)S88_MAX_CHANGES)
        return false;
    for (unsigned c = first; c <= last; c++) {
        unsigned occupied = start + (c - first) * period, freed = occupied + 2 * period;
        bus->close_after(occupied, c).open_after(occupied + 1, c).close_after(occupied + 2, c);
        bus->open_after(freed, c).close_after(freed + 1, c).open_after(freed + 2, c);
    }
    return true;
}

// True when the whole word matched the format (nothing left over).
#define WHOLE(n, expected) ((n) == (expected) && word[used] == '\0')

static bool parse_word(S88Board *board, S88Bus *bus, const char *word, char *why, size_t why_size)
{
    unsigned a, b, c, d;
    int used = 0;
    char line[8];
    if (sscanf(word, "modules:%u%n", &a, &used) == 1 && word[used] == '\0') {
        if (a < 1 || a > (unsigned)S88_MAX_MODULES)
            return refuse(why, why_size, word, "1 to 32 modules");
        bus->modules = (int)a;
        return true;
    }
    if (sscanf(word, "invert:%u%n", &a, &used) == 1 && word[used] == '\0' && a <= 1) {
        board->invert = a;
        return true;
    }
    if (strncmp(word, "pins:", 5) == 0) {
        if (!parse_pins(board, word + 5))
            return refuse(why, why_size, word, "four pins DATA/CLOCK/LOAD/RESET, as PI20/PH3/PI21/PH5");
        return true;
    }
    if (sscanf(word, "wire:%7[A-Z]%n", line, &used) == 1 && word[used] == '\0') {
        board->wire = strcmp(line, "CLOCK") == 0 ? S88_CLOCK : strcmp(line, "LOAD") == 0 ? S88_LOAD
                    : strcmp(line, "RESET") == 0 ? S88_RESET : -1;
        if (board->wire < 0)
            return refuse(why, why_size, word, "the wire goes to LOAD, CLOCK or RESET");
        return true;
    }
    // Contacts count from 1 to the end of the chain.
    const unsigned chain = 16u * (unsigned)bus->modules;
    int n = sscanf(word, "train:%u-%u@%u/%u%n", &a, &b, &c, &d, &used);
    if (strncmp(word, "train:", 6) == 0) {
        if (!WHOLE(n, 4) || a < 1 || b > chain || !add_train_run(bus, a, b, c, d))
            return refuse(why, why_size, word, "a train run is train:FIRST-LAST@CYCLE/PERIOD, "
                                               "PERIOD 8 or more, at most 10 contacts of the chain");
        return true;
    }
    used = 0;
    n = sscanf(word, "toggle:%u/%u%n", &a, &b, &used);
    if (WHOLE(n, 2) && a >= 1 && a <= chain && b >= 1) {
        bus->toggle_every(b, a);
        return true;
    }
    used = 0;
    n = sscanf(word, "close:%u%n@%u%n", &a, &used, &b, &used);
    if (n >= 1 && word[used] == '\0' && a >= 1 && a <= chain) {
        if (n == 1)
            bus->set_contact(a, true);
        else
            bus->close_after(b, a);
        return true;
    }
    used = 0;
    n = sscanf(word, "open:%u@%u%n", &a, &b, &used);
    if (WHOLE(n, 2) && a >= 1 && a <= chain) {
        bus->open_after(b, a);
        return true;
    }
    return refuse(why, why_size, word, "not a bus script word (or a contact outside the chain)");
}

bool s88_board_parse(S88Board *board, const char *script, char *why, size_t why_size)
{
    *board = S88Board();
    char word[96];
    const char *p = script;
    size_t length = strcspn(p, " ");
    if (length == 0 || length >= S88_NAME_MAX)
        return refuse(why, why_size, script, "a bus script starts with its name (1 to 63 characters)");
    memcpy(board->name, p, length);
    board->name[length] = '\0';
    // Contacts are set once the module count is known: parse twice, the count first.
    S88Bus bus(1);
    for (int pass = 0; pass < 2; pass++) {
        for (p = script + length; *p;) {
            p += strspn(p, " ");
            size_t n = strcspn(p, " ");
            if (n == 0)
                break;
            if (n >= sizeof word)
                return refuse(why, why_size, board->name, "a word of its script is too long");
            memcpy(word, p, n);
            word[n] = '\0';
            p += n;
            if ((strncmp(word, "modules:", 8) == 0) == (pass == 0) &&
                !parse_word(board, &bus, word, why, why_size))
                return false;
            if (bus.overflowed)
                return refuse(why, why_size, word, "more changes than the bus holds (64)");
        }
        if (pass == 0)
            bus = S88Bus(bus.modules);
    }
    if (board->wire >= 0)
        bus = S88Bus(0);
    board->bus = bus;
    return true;
}

static bool page_level(volatile uint32_t *page, unsigned pin)
{
    return (page[gpio_aw_data_offset(pin) / 4] >> (pin % 32)) & 1;
}

bool s88_board_watches(const S88Board &board, unsigned offset)
{
    for (int line = S88_CLOCK; line <= S88_RESET; line++)
        if (offset == gpio_aw_data_offset(board.pins[line]))
            return true;
    return false;
}

static void put_level(volatile uint32_t *page, unsigned pin, bool level)
{
    volatile uint32_t *word = &page[gpio_aw_data_offset(pin) / 4];
    uint32_t bit = 1u << (pin % 32);
    if (((*word & bit) != 0) != level)
        *word = level ? *word | bit : *word & ~bit;
}

void s88_board_step(S88Board *board, volatile uint32_t *page)
{
    if (board->wire >= 0) {
        put_level(page, board->pins[S88_DATA], page_level(page, board->pins[board->wire]));
        return;
    }
    const bool active = board->invert == 0;
    S88Bus &bus = board->bus;
    unsigned loads = bus.loads;
    bus.set_lines(page_level(page, board->pins[S88_LOAD]) == active,
                  page_level(page, board->pins[S88_CLOCK]) == active,
                  page_level(page, board->pins[S88_RESET]) == active);
    if (bus.loads != loads) {
        board->pulses_at_load = bus.clock_pulses;
        board->resets_at_load = bus.resets;
    }
    put_level(page, board->pins[S88_DATA], bus.data() == active);
}

void s88_board_idle(S88Board *board, volatile uint32_t *page)
{
    if (board->wire >= 0) {
        s88_board_step(board, page);
        return;
    }
    // What the bus's pull resistors would do before the first write.
    for (int line = S88_CLOCK; line <= S88_RESET; line++)
        put_level(page, board->pins[line], board->invert != 0);
    put_level(page, board->pins[S88_DATA], board->bus.data() == (board->invert == 0));
}
