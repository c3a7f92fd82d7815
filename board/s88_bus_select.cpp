// SPDX-License-Identifier: GPL-2.0-or-later
// s88-bus [-f FILE] NAME: asks the emulator to play the bus script NAME (given to the board's
// runner) on the PIO window of FILE (default /dev/mem) from now on; the bus starts with no cycle
// made. s88-bus -d ends the bus being played. Prints "bus NAME" and exits 0 once the emulator
// answered; exit status 1 when it does not know NAME or has no bus at all.
#include "gpio_aw.h"
#include "s88_board.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const char *path = "/dev/mem";
    bool detach = false;
    int opt;
    while ((opt = getopt(argc, argv, "f:d")) != -1) {
        switch (opt) {
        case 'f': path = optarg; break;
        case 'd': detach = true; break;
        default:
            fprintf(stderr, "usage: s88-bus [-f FILE] NAME | s88-bus [-f FILE] -d\n");
            return 2;
        }
    }
    const char *name = detach ? "" : optind < argc ? argv[optind] : nullptr;
    if (!name || strlen(name) >= S88_NAME_MAX || (!detach && !*name)) {
        fprintf(stderr, "usage: s88-bus [-f FILE] NAME | s88-bus [-f FILE] -d\n");
        return 2;
    }
    int fd = open(path, O_RDWR | O_SYNC);
    if (fd < 0) {
        fprintf(stderr, "s88-bus: %s: %s\n", path, strerror(errno));
        return 1;
    }
    void *map = mmap(nullptr, GPIO_AW_WINDOW_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     GPIO_AW_WINDOW_BASE);
    close(fd);
    if (map == MAP_FAILED) {
        fprintf(stderr, "s88-bus: %s: mmap: %s\n", path, strerror(errno));
        return 1;
    }
    volatile uint8_t *window = (volatile uint8_t *)map;
    for (size_t i = 0; i <= strlen(name); i++)
        window[S88_NAME_OFFSET + i] = (uint8_t)name[i];
    // The emulator answers in the same word before this program's next instruction.
    volatile uint32_t *signal = (volatile uint32_t *)(window + S88_SIGNAL_OFFSET);
    *signal = S88_ANNOUNCE;
    uint32_t answer = *signal;
    if (answer == S88_ATTACHED || (detach && answer == S88_DETACHED)) {
        printf(detach ? "no bus\n" : "bus %s\n", name);
        return 0;
    }
    if (answer == S88_UNKNOWN)
        fprintf(stderr, "s88-bus: the emulator has no bus script named %s (a case names its "
                        "buses in '# kit-bus: NAME WORD...' lines)\n", name);
    else
        fprintf(stderr, "s88-bus: no S88 bus in this emulator: it runs without the bus plugin "
                        "(board/run said why at its start)\n");
    return 1;
}
