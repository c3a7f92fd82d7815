// SPDX-License-Identifier: GPL-2.0-or-later
#include "gpio_aw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static int mem_fd = -1;
// Device memory: every access must be one 32-bit load or store, in program order.
static volatile uint32_t *window;
// Pins usable by gpio_aw_read/write/release: 288 only while a window is mapped.
static unsigned pin_count;
static unsigned special_pins[2];
static uint32_t special_function;

// Word indexes into the window, computed once at open so a bus step does no address arithmetic.
static uint16_t config_word[GPIO_AW_PIN_COUNT];
static uint16_t data_word[GPIO_AW_PIN_COUNT];
static uint16_t pull_word[GPIO_AW_PIN_COUNT];
static uint8_t configured[GPIO_AW_PIN_COUNT];
static uint8_t is_input[GPIO_AW_PIN_COUNT];  // survives gpio_aw_open

// Library messages keep errno for the caller's own message.
static void warn(const char *routine, const char *what, bool with_error)
{
    int saved = errno;
    if (with_error)
        printf("%s: warning: %s failed [%s]\n", routine, what, strerror(saved));
    else
        printf("%s: warning: %s failed\n", routine, what);
    errno = saved;
}

int gpio_aw_open(const char *path)
{
    pin_count = GPIO_AW_PIN_COUNT;
    special_pins[0] = 224;  // PH0
    special_pins[1] = 225;  // PH1
    special_function = 4;

    mem_fd = open(path, O_RDWR | O_SYNC);
    if (mem_fd < 0) {
        warn(__func__, "open", true);
        mem_fd = -1;
        pin_count = 0;  // no window: pin operations must not reach for one
        return -1;
    }
    void *map = mmap(nullptr, GPIO_AW_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd,
                     GPIO_AW_WINDOW_BASE);
    if (map == MAP_FAILED) {
        warn(__func__, "mmap", true);
        int saved = errno;
        close(mem_fd);
        errno = saved;
        mem_fd = -1;
        window = nullptr;
        pin_count = 0;
        return -1;
    }
    window = (volatile uint32_t *)map;

    memset(configured, 0, sizeof(configured));
    for (unsigned pin = 0; pin < GPIO_AW_PIN_COUNT; pin++) {
        config_word[pin] = (uint16_t)(gpio_aw_config_offset(pin) / 4);
        data_word[pin] = (uint16_t)(gpio_aw_data_offset(pin) / 4);
        pull_word[pin] = (uint16_t)(gpio_aw_pull_offset(pin) / 4);
    }
    return mem_fd;
}

int gpio_aw_close()
{
    if (window) {
        if (munmap((void *)window, GPIO_AW_WINDOW_SIZE) != 0)
            warn(__func__, "munmap", false);
        window = nullptr;
    }
    pin_count = 0;
    if (mem_fd < 0)
        return mem_fd;
    int failed = close(mem_fd) != 0;
    if (failed)
        warn(__func__, "close", false);
    mem_fd = -1;
    return failed;
}

void gpio_aw_set_pull(unsigned pin, uint32_t mode)
{
    unsigned shift = 2 * (pin % 16);
    volatile uint32_t *reg = &window[pull_word[pin]];
    *reg = (*reg & ~(3u << shift)) | (mode << shift);
}

void gpio_aw_set_input(unsigned pin)
{
    volatile uint32_t *reg = &window[config_word[pin]];
    *reg = *reg & ~(7u << (4 * (pin % 8)));
    is_input[pin] = 1;
}

void gpio_aw_set_output(unsigned pin)
{
    volatile uint32_t *reg = &window[config_word[pin]];
    *reg = *reg | (1u << (4 * (pin % 8)));
    is_input[pin] = 0;
}

int gpio_aw_read(unsigned pin, uint8_t *level)
{
    if (pin >= pin_count)
        return -1;
    if (!configured[pin]) {
        configured[pin] = 1;
        gpio_aw_set_pull(pin, 1);
        gpio_aw_set_input(pin);
    } else if (!is_input[pin]) {
        gpio_aw_set_input(pin);
    }
    *level = (window[data_word[pin]] >> (pin % 32)) & 1;
    return 0;
}

int gpio_aw_write(unsigned pin, unsigned value)
{
    if (pin >= pin_count)
        return -1;
    if (!configured[pin]) {
        configured[pin] = 1;
        gpio_aw_set_pull(pin, 1);
        gpio_aw_set_input(pin);
        gpio_aw_set_output(pin);
    } else if (is_input[pin]) {
        // Function 1 from whatever the field holds: after gpio_aw_release it may be 4, and
        // ORing 1 into that would select function 5.
        volatile uint32_t *reg = &window[config_word[pin]];
        unsigned shift = 4 * (pin % 8);
        *reg = (*reg & ~(7u << shift)) | (1u << shift);
        is_input[pin] = 0;
    }
    volatile uint32_t *reg = &window[data_word[pin]];
    uint32_t bit = 1u << (pin % 32);
    if (value)
        *reg = *reg | bit;
    else
        *reg = *reg & ~bit;
    return 0;
}

int gpio_aw_release(unsigned pin, int alternate)
{
    if (pin >= pin_count)
        return -1;
    gpio_aw_set_pull(pin, 0);
    gpio_aw_set_input(pin);
    if (alternate && (pin == special_pins[0] || pin == special_pins[1])) {
        volatile uint32_t *reg = &window[config_word[pin]];
        *reg = *reg | (special_function << (4 * (pin % 8)));
    }
    return 0;
}
