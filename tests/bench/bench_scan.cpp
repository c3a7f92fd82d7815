// SPDX-License-Identifier: GPL-2.0-or-later
// Scan cycles of s88-reporter against the simulated S88 bus, with the process's default timer
// slack and with the minimal slack that scan mode sets. Three figures per row:
//   ideal  ((5 + 32 x modules) x t + 100 x t) us, the waits alone at their nominal length;
//   floor  the same sequence of microsleep calls back to back with no bus work: the fastest a
//          cycle can be on this machine, since every wait overshoots by its wake-up latency;
//   period the reporter's measured cycle; period / floor is the scan loop's own cost.
// Then the overshoot of one microsleep(t), so that a reader can carry the floor to the board.
#include "gpio_sim.h"
#include "reporter.h"

#include "canudp.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/prctl.h>
#include <vector>

static double now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static double ideal_us(int modules, int t)
{
    return (5.0 + 32 * modules) * t + 100.0 * t;
}

// The waits of one scan cycle and its pause, in the reporter's order, with nothing between them.
static void floor_cycle(int modules, int t)
{
    for (int i = 0; i < 5; i++)
        microsleep(t);
    for (int i = 0; i < 32 * modules; i++)
        microsleep(t);
    microsleep(100 * t);
}

static reporter_context ctx;

static void reporter_setup(S88Bus *bus)
{
    gpio_sim = GpioSim();
    gpio_sim.record = false;
    gpio_sim.bus = bus;
    gpio_aw_open("/dev/mem");
    init_contact_state();
    ctx = reporter_context();
    ctx.background = 1;
    ctx.socket = -1;  // nothing goes out: only contact 1's acceptance, which fails quietly
    ctx.pins[PIN_DATA] = 276;
    ctx.pins[PIN_CLOCK] = 227;
    ctx.pins[PIN_LOAD] = 277;
    ctx.pins[PIN_RESET] = 229;
}

static void reporter_cycle(int modules, int t)
{
    scan_s88_bus(&ctx, modules, t);
    microsleep(100 * t);
}

struct Periods {
    double floor;
    double reporter;
};

// Mean cycle period of the floor and of the reporter, in microseconds. Their cycles alternate,
// so that load elsewhere on the machine falls on both alike instead of skewing their ratio.
static Periods cycle_periods(int modules, int t, unsigned long slack_ns)
{
    prctl(PR_SET_TIMERSLACK, slack_ns, 0UL, 0UL, 0UL);
    S88Bus bus(modules);
    bus.closed({1});  // read every cycle, reported once: the cost of one frame is in it
    reporter_setup(&bus);

    const int cycles = (int)(1.5e6 / ideal_us(modules, t)) + 5;  // about 1.5 s of ideal time
    Periods sum = {0, 0};
    for (int i = 0; i < cycles; i++) {
        double start = now_us();
        floor_cycle(modules, t);
        double middle = now_us();
        reporter_cycle(modules, t);
        sum.floor += middle - start;
        sum.reporter += now_us() - middle;
    }
    return {sum.floor / cycles, sum.reporter / cycles};
}

// Median and 99th percentile of how much one microsleep(t) overshoots t, in microseconds.
static void overshoot(int t, unsigned long slack_ns, double *median, double *p99)
{
    prctl(PR_SET_TIMERSLACK, slack_ns, 0UL, 0UL, 0UL);
    std::vector<double> over(2000);
    for (double &o : over) {
        double start = now_us();
        microsleep(t);
        o = now_us() - start - t;
    }
    std::sort(over.begin(), over.end());
    *median = over[over.size() / 2];
    *p99 = over[over.size() * 99 / 100];
}

int main()
{
    unsigned long default_slack = (unsigned long)prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    // create_event's failure message for the one accepted contact is not of interest here.
    if (!freopen("/dev/null", "w", stderr))
        return 1;
    const int timings[] = {15, 100};
    const int module_counts[] = {1, 32};
    const struct {
        const char *name;
        unsigned long ns;
    } slacks[] = {{"default", default_slack}, {"minimal", 1}};

    printf("scan cycle period against the ideal and against this machine's floor (simulated bus;"
           " default slack %lu ns, minimal 1 ns)\n",
           default_slack);
    printf("%4s %8s %8s %10s %10s %10s %8s %8s\n", "t", "modules", "slack", "ideal us",
           "floor us", "period us", "/ideal", "/floor");
    for (int t : timings) {
        for (int m : module_counts) {
            for (const auto &slack : slacks) {
                Periods p = cycle_periods(m, t, slack.ns);
                double ideal = ideal_us(m, t);
                printf("%4d %8d %8s %10.0f %10.0f %10.0f %7.2fx %7.2fx\n", t, m, slack.name,
                       ideal, p.floor, p.reporter, p.reporter / ideal, p.reporter / p.floor);
            }
        }
    }

    printf("overshoot of one microsleep(t) on this machine, over 2000 calls\n");
    printf("%4s %8s %10s %10s\n", "t", "slack", "median us", "p99 us");
    for (int t : timings) {
        for (const auto &slack : slacks) {
            double median, p99;
            overshoot(t, slack.ns, &median, &p99);
            printf("%4d %8s %10.1f %10.1f\n", t, slack.name, median, p99);
        }
    }
    return 0;
}
