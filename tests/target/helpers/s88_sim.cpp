// s88-sim: plays an S88 bus on the /dev/mem stand-in for the real s88-reporter. It polls the
// LOAD, CLOCK and RESET bits of the PIO data registers, runs them through the bus model and
// drives the DATA bit.
//
//   s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] [-x SECONDS] [-v] CHANGE...
//   CHANGE: close:5      contact 5 closed from the start
//           close:17@3   contact 17 closes after cycle 3
//           open:5@6     contact 5 opens after cycle 6
//           toggle:9/7   contact 9 changes after cycles 7, 14, 21, ... (for long runs)
//           train:13-20@50/100  a train run: contact 13 is occupied after cycle 50, 14 after
//                        150, ... and each is freed 200 cycles after it was occupied; both with
//                        a contact bounce (changed back after one cycle, again after two)
//
// -l LOG writes every scripted change as it took effect to LOG when the simulator ends:
// "change cycle=N contact=C closed=0|1 time=SECONDS.NANOSECONDS" (CLOCK_REALTIME), then
// "end cycle=N" with the last cycle; also when SIGTERM ends it.
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

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

static const unsigned DATA = 276, CLOCK = 227, LOAD = 277, RESET = 229;

// A train passing contacts first to last: contact first + k is occupied after cycle
// start + k * period and freed two periods later. The wheels bounce: each change is undone after
// one cycle and made again after two, so the change that lasts is the third, which the
// reporter's filter must wait for.
static bool add_train_run(S88Bus *bus, const char *word)
{
    unsigned first, last, start, period;
    if (sscanf(word, "train:%u-%u@%u/%u", &first, &last, &start, &period) != 4 || last < first ||
        period < 8 || (last - first + 1) * 6 > (unsigned)S88_MAX_CHANGES)
        return false;
    for (unsigned c = first; c <= last; c++) {
        unsigned occupied = start + (c - first) * period, freed = occupied + 2 * period;
        bus->close_after(occupied, c).open_after(occupied + 1, c).close_after(occupied + 2, c);
        bus->open_after(freed, c).close_after(freed + 1, c).open_after(freed + 2, c);
    }
    return true;
}

// The change log of -l: kept in memory while the bus runs (writing it then could miss a pulse)
// and written out when the simulator ends.
struct logged_change {
    unsigned cycle, contact;
    bool closed;
    struct timespec time;
};
static logged_change change_log[4096];
static unsigned change_log_count;
static const char *change_log_path;

static void log_change(unsigned cycle, unsigned contact, bool closed)
{
    if (change_log_count == sizeof(change_log) / sizeof(change_log[0]))
        return;
    logged_change &entry = change_log[change_log_count++];
    entry = {cycle, contact, closed, {}};
    clock_gettime(CLOCK_REALTIME, &entry.time);
}

static const S88Bus *logged_bus;

static void write_change_log()
{
    FILE *f = fopen(change_log_path, "w");
    if (!f)
        return;
    for (unsigned i = 0; i < change_log_count; i++)
        fprintf(f, "change cycle=%u contact=%u closed=%d time=%lld.%09ld\n", change_log[i].cycle,
                change_log[i].contact, change_log[i].closed, (long long)change_log[i].time.tv_sec,
                change_log[i].time.tv_nsec);
    fprintf(f, "end cycle=%u\n", logged_bus->loads);
    fclose(f);
}

// SIGTERM ends the simulator with its log written. Without -v the bus loop touches no stdio, so
// writing the log from the handler cannot meet a half-done buffer.
static void end_on_signal(int)
{
    write_change_log();
    _exit(0);
}

static void keep_change_log(S88Bus *bus, const char *path)
{
    change_log_path = path;
    logged_bus = bus;
    bus->on_change = log_change;
    atexit(write_change_log);
    signal(SIGTERM, end_on_signal);
}

static bool add_change(S88Bus *bus, const char *word)
{
    char kind[8];
    unsigned contact, cycle;
    if (strncmp(word, "train:", 6) == 0)
        return add_train_run(bus, word);
    if (sscanf(word, "toggle:%u/%u", &contact, &cycle) == 2) {
        bus->toggle_every(cycle, contact);
        return true;
    }
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
    const char *log_path = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "f:m:i:p:x:l:v")) != -1) {
        switch (opt) {
        case 'f': path = optarg; break;
        case 'm': modules = atoi(optarg); break;
        case 'i': invert = (unsigned)atoi(optarg) & 1; break;
        case 'p': poll_us = atol(optarg); break;
        case 'x': seconds = atol(optarg); break;
        case 'v': verbose = true; break;
        case 'l': log_path = optarg; break;
        default:
            fprintf(stderr, "usage: s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] "
                            "[-x SECONDS] [-l LOG] [-v] [close:N[@CYCLE]|open:N@CYCLE|toggle:N/PERIOD|"
                            "train:FIRST-LAST@CYCLE/PERIOD]...\n");
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
    if (log_path)
        keep_change_log(&bus, log_path);
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
