// s88-sim: plays an S88 bus on the /dev/mem stand-in for the real s88-reporter. It polls the
// LOAD, CLOCK and RESET bits of the PIO data registers, runs them through the bus model and
// drives the DATA bit.
//
//   s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] [-x SECONDS] [-v] CHANGE...
//   CHANGE: close:5      contact 5 closed from the start
//           close:17@3   contact 17 closes after cycle 3
//           open:5@6     contact 5 opens after cycle 6
//
// The lines are set to their idle level first (low, or high with -i 1), then "ready" is
// printed. Pins are s88-reporter's defaults. With -v each cycle prints "cycle N". Exits after
// SECONDS (default 120) in case nobody stops it.
//
// The controller needs a microtiming much larger than the poll period (s88-reporter -t 2000).
// DATA shares its data word with LOAD: the reporter's read-modify-write of LOAD can undo a
// DATA change made in between, so DATA is put back whenever it differs from the model.
#include "pio_window.h"
#include "../../sim/s88_bus.h"

#include <cstdlib>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

static const unsigned DATA = 276, CLOCK = 227, LOAD = 277, RESET = 229;

static bool add_change(S88Bus *bus, const char *word)
{
    char kind[8];
    unsigned contact, cycle;
    int n = sscanf(word, "%7[a-z]:%u@%u", kind, &contact, &cycle);
    if (n < 2)
        return false;
    bool close = strcmp(kind, "close") == 0;
    if (!close && strcmp(kind, "open") != 0)
        return false;
    if (n == 2)
        bus->set_contact(contact, close);
    else if (close)
        bus->close_after(cycle, contact);
    else
        bus->open_after(cycle, contact);
    return true;
}

int main(int argc, char **argv)
{
    const char *path = "/dev/mem";
    int modules = 1;
    unsigned invert = 0;
    long poll_us = 50;
    long seconds = 120;
    bool verbose = false;
    int opt;
    while ((opt = getopt(argc, argv, "f:m:i:p:x:v")) != -1) {
        switch (opt) {
        case 'f': path = optarg; break;
        case 'm': modules = atoi(optarg); break;
        case 'i': invert = (unsigned)atoi(optarg) & 1; break;
        case 'p': poll_us = atol(optarg); break;
        case 'x': seconds = atol(optarg); break;
        case 'v': verbose = true; break;
        default:
            fprintf(stderr, "usage: s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] "
                            "[-x SECONDS] [-v] [close:N[@CYCLE]|open:N@CYCLE]...\n");
            return 2;
        }
    }
    if (modules < 1 || modules > S88_MAX_MODULES) {
        fprintf(stderr, "s88-sim: 1 to %d modules\n", S88_MAX_MODULES);
        return 2;
    }
    S88Bus bus(modules);
    for (int i = optind; i < argc; i++) {
        if (!add_change(&bus, argv[i])) {
            fprintf(stderr, "s88-sim: bad change %s\n", argv[i]);
            return 2;
        }
    }
    volatile uint32_t *window = map_pio_window(path);
    if (!window)
        return 1;

    // A CLOCK pulse lasts one microtiming: wake up promptly so none is missed on a busy
    // machine (as root; otherwise the ordinary priority has to do).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    struct sched_param priority = {};
    priority.sched_priority = 10;
    sched_setscheduler(0, SCHED_FIFO, &priority);

    setvbuf(stdout, nullptr, _IOLBF, 0);
    pio_drive(window, LOAD, invert);
    pio_drive(window, CLOCK, invert);
    pio_drive(window, RESET, invert);
    pio_drive(window, DATA, invert);
    printf("ready\n");

    struct timespec poll = {0, poll_us * 1000};
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    unsigned loads = 0;
    for (;;) {
        bus.set_lines(pio_level(window, LOAD) != invert, pio_level(window, CLOCK) != invert,
                      pio_level(window, RESET) != invert);
        bool data = bus.data() != (invert != 0);
        if (pio_level(window, DATA) != data)
            pio_drive(window, DATA, data);
        if (verbose && bus.loads != loads)
            printf("cycle %u\n", bus.loads);
        loads = bus.loads;
        nanosleep(&poll, nullptr);
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds)
            return 0;
    }
}
