// The PIO register window of the /dev/mem stand-in, mapped as the GPIO library maps it, for
// helpers that play the hardware's part from another process.
#pragma once

#include "../../../gpio/gpio_aw.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

// Returns the window, or null after a message on stderr.
inline volatile uint32_t *map_pio_window(const char *path)
{
    int fd = open(path, O_RDWR | O_SYNC);
    if (fd < 0) {
        fprintf(stderr, "%s: %s\n", path, strerror(errno));
        return nullptr;
    }
    void *map = mmap(nullptr, GPIO_AW_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     GPIO_AW_WINDOW_BASE);
    close(fd);
    if (map == MAP_FAILED) {
        fprintf(stderr, "%s: mmap: %s\n", path, strerror(errno));
        return nullptr;
    }
    return (volatile uint32_t *)map;
}

// Data bit of a pin in the window.
inline bool pio_level(volatile uint32_t *window, unsigned pin)
{
    return (window[gpio_aw_data_offset(pin) / 4] >> (pin % 32)) & 1;
}

// Atomic, because the program under test may write the same word from another CPU meanwhile:
// a plain read-modify-write here could undo its LOAD edge.
inline void pio_drive(volatile uint32_t *window, unsigned pin, bool level)
{
    volatile uint32_t *reg = &window[gpio_aw_data_offset(pin) / 4];
    uint32_t bit = 1u << (pin % 32);
    if (level)
        __atomic_fetch_or(reg, bit, __ATOMIC_SEQ_CST);
    else
        __atomic_fetch_and(reg, ~bit, __ATOMIC_SEQ_CST);
}
