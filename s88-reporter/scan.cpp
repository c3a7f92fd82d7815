#include "reporter.h"

#include <cstdio>

int run_scan_mode(reporter_context *, int, int)
{
    fputs("s88-reporter: scanning the S88 bus is not available in this build yet; "
          "use -m 0 for the test mode\n", stderr);
    return 1;
}
