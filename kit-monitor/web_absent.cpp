// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor built without HTTP (the board's cross build): -H says so and the run ends.
#include "web.h"

#include <cstdio>

const monitor_output *web_output(const struct sockaddr_in *)
{
    fprintf(stderr, "cannot serve HTTP: this kit-monitor was built without libmicrohttpd\n");
    return nullptr;
}
