#include "cli.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

const char *program_name(const char *argv0)
{
    if (!argv0)  // argc may be 0
        return "";
    const char *slash = strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

uint16_t parse_port(const char *text)
{
    return (uint16_t)strtoul(text, nullptr, 10);
}

void reset_getopt()
{
    optind = 0;  // glibc: 0 also resets its internal state
}
