// The PIO register window of the /dev/mem stand-in, mapped as the GPIO library maps it, for
// helpers that look at the registers from another process.
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
