// SPDX-License-Identifier: GPL-2.0-or-later
// s88-check: walks a technician through a test of the S88 bus wiring, with and without a
// multimeter.
#include "check.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // Prompts appear before each wait, also when stdout is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    uint8_t invert = 0;
    int status = parse_check_options(argc, argv, &invert);
    if (status >= 0)
        return status;

    if (open_bus_lines() != 0)
        return 1;

    run_multimeter_test();
    run_loopback_test(invert);
    return 0;
}
