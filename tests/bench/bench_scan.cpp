// Scan cycles of s88-reporter against the simulated S88 bus: measured cycle period over the
// ideal one, ((5 + 32 x modules) x t + 100 x t) microseconds, with the process's default timer
// slack and with the minimal slack that scan mode sets.
#include "gpio_sim.h"
#include "reporter.h"

#include "canudp.h"

#include <cstdio>
#include <ctime>
#include <sys/prctl.h>

static double now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Mean period of one scan cycle plus its pause, in microseconds.
static double cycle_period(int modules, int t, unsigned long slack_ns)
{
    prctl(PR_SET_TIMERSLACK, slack_ns, 0UL, 0UL, 0UL);
    S88Bus bus(modules);
    bus.closed({1});  // read every cycle, reported once: the cost of one frame is in it
    gpio_sim = GpioSim();
    gpio_sim.record = false;
    gpio_sim.bus = &bus;
    gpio_aw_open("/dev/mem");
    init_contact_state();

    static reporter_context ctx;
    ctx = reporter_context();
    ctx.background = 1;
    ctx.socket = -1;  // nothing goes out: only contact 1's acceptance, which fails quietly
    ctx.pins[PIN_DATA] = 276;
    ctx.pins[PIN_CLOCK] = 227;
    ctx.pins[PIN_LOAD] = 277;
    ctx.pins[PIN_RESET] = 229;

    const double ideal = ((5.0 + 32 * modules) * t + 100.0 * t);
    const int cycles = (int)(1.5e6 / ideal) + 5;  // about 1.5 s of ideal time
    double start = now_us();
    for (int i = 0; i < cycles; i++) {
        scan_s88_bus(&ctx, modules, t);
        microsleep(100 * t);
    }
    return (now_us() - start) / cycles;
}

int main()
{
    unsigned long default_slack = (unsigned long)prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    // create_event's failure message for the one accepted contact is not of interest here.
    if (!freopen("/dev/null", "w", stderr))
        return 1;
    printf("scan cycle period / ideal period (simulated bus; default slack %lu ns, minimal 1 ns)\n",
           default_slack);
    printf("%4s %8s %10s %12s %12s %12s %12s\n", "t", "modules", "ideal us", "default us",
           "ratio", "minimal us", "ratio");
    const int timings[] = {15, 100};
    const int module_counts[] = {1, 32};
    for (int t : timings) {
        for (int m : module_counts) {
            double ideal = (5.0 + 32 * m) * t + 100.0 * t;
            double with_default = cycle_period(m, t, default_slack);
            double with_minimal = cycle_period(m, t, 1);
            printf("%4d %8d %10.0f %12.0f %11.2fx %12.0f %11.2fx\n", t, m, ideal, with_default,
                   with_default / ideal, with_minimal, with_minimal / ideal);
        }
    }
    return 0;
}
