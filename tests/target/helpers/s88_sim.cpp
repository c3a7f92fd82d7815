// s88-sim: plays an S88 bus on the /dev/mem stand-in for the real s88-reporter. It polls the
// LOAD, CLOCK and RESET bits of the PIO data registers, runs them through the bus model and
// drives the DATA bit.
//
//   s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] [-s] [-x SECONDS] [-v] CHANGE...
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
// printed. Pins are s88-reporter's defaults. With -v each cycle prints "cycle N". A cycle in
// which it lost edges prints "missed cycle N: ..." (it expects the reporter to clock MODULES
// modules, and to be still running, two cycles on at least, when SIGTERM comes). Exits after
// SECONDS (default 120) in case nobody stops it.
//
// It pins itself to CPU 1, which the test VM keeps free of other tasks, and polls there without
// pause: it then follows s88-reporter at its default microtiming, as long as the emulator's
// host lets that CPU run. With -s, or without a second CPU, it polls every POLL_US (default
// 50) at real-time priority on the reporter's CPU 0 instead, and the reporter needs a
// microtiming much larger than that (-t 2000 with -p 500). Sharing the CPU makes it robust: when
// the host stops the CPU, both stop, and afterwards the simulator samples first.
// DATA shares its data word with LOAD: the reporter's read-modify-write of LOAD can undo a
// DATA change made in between, so DATA is put back whenever it differs from the model.
#include "pio_window.h"
#include "../../../board/s88_bus.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

static volatile sig_atomic_t stopped;

static void stop(int)
{
    stopped = 1;
}

static double seconds_between(const struct timespec &a, const struct timespec &b)
{
    return (double)(b.tv_sec - a.tv_sec) + (double)(b.tv_nsec - a.tv_nsec) / 1e9;
}

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
    bool verbose = false, share = false;
    const char *log_path = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "f:m:i:p:sx:l:v")) != -1) {
        switch (opt) {
        case 'f': path = optarg; break;
        case 'm': modules = atoi(optarg); break;
        case 'i': invert = (unsigned)atoi(optarg) & 1; break;
        case 'p': poll_us = atol(optarg); break;
        case 's': share = true; break;
        case 'x': seconds = atol(optarg); break;
        case 'v': verbose = true; break;
        case 'l': log_path = optarg; break;
        default:
            fprintf(stderr, "usage: s88-sim [-f FILE] [-m MODULES] [-i 0|1] [-p POLL_US] [-s] "
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

    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Alone on CPU 1 an ordinary task is never preempted and needs no priority; a real-time one
    // would only meet the kernel's throttling.
    cpu_set_t own_cpu;
    CPU_ZERO(&own_cpu);
    CPU_SET(share ? 0 : 1, &own_cpu);
    bool on_cpu = sched_setaffinity(0, sizeof(own_cpu), &own_cpu) == 0;
    bool spin = on_cpu && !share;
    if (spin) {
        printf("s88-sim: on CPU 1, polling without pause\n");
    } else {
        if (share)
            printf("s88-sim: on CPU 0 with the reporter, ");
        else
            printf("s88-sim: no CPU 1 (%s), ", strerror(errno));
        printf("polling every %ld us at SCHED_FIFO\n", poll_us);
        // A CLOCK pulse lasts one microtiming: wake up promptly so none is missed on a busy
        // machine (as root; otherwise the ordinary priority has to do).
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        struct sched_param priority = {};
        priority.sched_priority = 10;
        sched_setscheduler(0, SCHED_FIFO, &priority);
    }

    pio_drive(window, LOAD, invert);
    pio_drive(window, CLOCK, invert);
    pio_drive(window, RESET, invert);
    pio_drive(window, DATA, invert);
    printf("ready\n");

    // Stopped by the case while the reporter was still running: a cycle should be under way.
    signal(SIGTERM, stop);
    struct timespec poll = {0, poll_us * 1000};
    struct timespec start, now, last_load;
    clock_gettime(CLOCK_MONOTONIC, &start);
    last_load = start;
    unsigned loads = 0, pulses_at_load = 0, resets_at_load = 0;
    const unsigned pulses_per_cycle = 16u * (unsigned)modules + 1;
    bool model_data = false, late = false;
    double longest_cycle = 0;
    for (unsigned round = 1;; round++) {
        unsigned lines = pio_level(window, LOAD) | pio_level(window, CLOCK) << 1 |
                         pio_level(window, RESET) << 2;
        bus.set_lines((lines & 1) != invert, ((lines >> 1) & 1) != invert,
                      ((lines >> 2) & 1) != invert);
        if (bus.loads != loads) {
            // A whole cycle is one LOAD, a RESET and a CLOCK pulse per bit; anything else, or
            // DATA set too late in it, means this program lost the bus for a while (its CPU
            // was taken from it), and what the reporter read in that cycle proves nothing.
            if (loads > 0 && (late || bus.clock_pulses - pulses_at_load != pulses_per_cycle ||
                              bus.resets - resets_at_load != 1))
                printf("missed cycle %u: %u clock pulses, %u resets%s\n", loads,
                       bus.clock_pulses - pulses_at_load, bus.resets - resets_at_load,
                       late ? ", DATA late" : "");
            if (verbose)
                printf("cycle %u\n", bus.loads);
            loads = bus.loads;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (loads > 1 && seconds_between(last_load, now) > longest_cycle)
                longest_cycle = seconds_between(last_load, now);
            last_load = now;
            pulses_at_load = bus.clock_pulses;
            resets_at_load = bus.resets;
            late = false;
        }
        bool data = bus.data() != (invert != 0);
        if (pio_level(window, DATA) != data) {
            pio_drive(window, DATA, data);
            // Late: the lines moved on before DATA was set, or DATA had to be put back after
            // the reporter's read-modify-write of LOAD undid it.
            unsigned after = pio_level(window, LOAD) | pio_level(window, CLOCK) << 1 |
                             pio_level(window, RESET) << 2;
            if (after != lines || data == model_data)
                late = true;
        }
        model_data = data;
        if (stopped) {
            // The cycle under way: too many pulses, or no LOAD for much longer than a cycle.
            clock_gettime(CLOCK_MONOTONIC, &now);
            double since = seconds_between(last_load, now);
            if (loads < 2 || bus.clock_pulses - pulses_at_load >= pulses_per_cycle ||
                since > 3 * longest_cycle + 0.05)
                printf("missed cycle %u: %u clock pulses and %.3f s since its LOAD at the end\n",
                       loads, bus.clock_pulses - pulses_at_load, since);
            return 0;
        }
        if (!spin)
            nanosleep(&poll, nullptr);
        else if (round % 4096)
            continue;  // the clock now and then: the lines matter more
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec - start.tv_sec >= seconds)
            return 0;
    }
}
