// kit-monitor built without HTTP (the board's cross build): -H says so and the run ends.
#include "web.h"

#include <cstdio>

int web_start(const struct sockaddr_in *, const live_view *, const unsigned long *)
{
    fprintf(stderr, "cannot serve HTTP: this kit-monitor was built without libmicrohttpd\n");
    return -1;
}

double web_wait_sets(wait_extra *, double)
{
    return 0;
}

void web_run(const fd_set *, const wait_extra *, bool, double)
{
}

void web_stop()
{
}
