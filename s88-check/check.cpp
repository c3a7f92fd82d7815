// SPDX-License-Identifier: GPL-2.0-or-later
#include "check.h"

#include "cli.h"
#include "gpio_aw.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s -vf [-b <bcast_addr/int>][-i <0|1>][-p <port>][-m <s88modules>][-o <offset>]\n",
            program_name(argv0));
    fprintf(stderr, "   Version 0.2\n\n");
    fprintf(stderr, "         -i [0|1]            invert signals - default 0 -> not inverting\n");
    fprintf(stderr, "         -t <time in usec>   microtiming in usec - default %d usec\n", 15);
}

int parse_check_options(int argc, char **argv, uint8_t *invert)
{
    int opt;
    while ((opt = getopt(argc, argv, "i:m:t:vh?")) != -1) {
        switch (opt) {
        case 'i':
            *invert = (uint8_t)(atoi(optarg) & 1);
            break;
        case 'm': {
            // Checked like s88-reporter's, then unused: the test does not clock the bus.
            int modules = atoi(optarg);
            if (modules < 1 || modules > 32) {
                usage(argv[0]);
                return 1;
            }
            break;
        }
        case 't': {
            int microtiming = atoi(optarg);
            if (microtiming < 2) {
                fprintf(stderr, "microtiming value to low: %d\n", microtiming);
                return 1;
            }
            break;
        }
        case 'v':
            break;
        case 'h':
        case '?':
        default:
            usage(argv[0]);
            return 0;
        }
    }
    return -1;
}

int open_bus_lines()
{
    if (gpio_aw_open("/dev/mem") < 0) {
        fprintf(stderr, "Can't open IO mem: %s\n", strerror(errno));
        return 1;
    }
    gpio_aw_set_output(CHECK_CLOCK_PIN);
    gpio_aw_set_output(CHECK_LOAD_PIN);
    gpio_aw_set_output(CHECK_RESET_PIN);
    gpio_aw_set_input(CHECK_DATA_PIN);
    return 0;
}

static void wait_for_key()
{
    getchar();
}

static void drive_outputs(unsigned level)
{
    gpio_aw_write(CHECK_CLOCK_PIN, level);
    gpio_aw_write(CHECK_LOAD_PIN, level);
    gpio_aw_write(CHECK_RESET_PIN, level);
}

void run_multimeter_test()
{
    puts("#########################");
    puts("# S88 test\n");
    puts("#########################");
    puts("# Test with multimeter\n");

    drive_outputs(0);
    puts("CLOCK_PIN, LOAD_PIN & RESET_PIN low   - ( U3,U4,U5 Pin2 1V4 - 1V9) - press enter to continue");
    wait_for_key();
    puts("\n");

    drive_outputs(1);
    puts("CLOCK_PIN, LOAD_PIN & RESET_PIN high  - ( U3,U4,U5 Pin2 3V3)  - press enter to continue");
    wait_for_key();
}

void prompt_and_set(const char *label, unsigned pin, int high)
{
    wait_for_key();
    printf(high ? "set %s high\n" : "set %s low\n", label);
    gpio_aw_write(pin, high ? 1 : 0);
}

void report_data_pin(uint8_t invert)
{
    uint8_t level = 0;
    gpio_aw_read(CHECK_DATA_PIN, &level);
    puts(level == invert ? "Data pin low" : "Data pin high");
}

void run_loopback_test(uint8_t invert)
{
    static const struct {
        const char *connect;
        const char *label;
        unsigned pin;
    } lines[] = {
        {"connect RESET pin to DATA pin on S88 bus - press enter to continue", "RESET pin", CHECK_RESET_PIN},
        {"connect LOAD pin to DATA pin on S88 bus - press enter to continue", "LOAD pin", CHECK_LOAD_PIN},
        {"connect CLOCK pin to DATA pin on S88 bus - press enter to continue", "CLOCK pin", CHECK_CLOCK_PIN},
    };

    puts("#########################");
    puts("# Test without multimeter\n");
    for (const auto &line : lines) {
        puts(line.connect);
        prompt_and_set(line.label, line.pin, 0);
        report_data_pin(invert);
        prompt_and_set(line.label, line.pin, 1);
        report_data_pin(invert);
        puts("\n");
    }
}
