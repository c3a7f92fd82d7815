#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

int open_standard_streams()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        // The lowest free descriptor is the closed one.
        if (open("/dev/null", O_RDWR) < 0) {
            fprintf(stderr, "Can't open /dev/null: %s\n", strerror(errno));
            return -1;
        }
    }
    return 0;
}
