// SPDX-License-Identifier: GPL-2.0-or-later
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
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

static int notify_failed(const char *reason)
{
    fprintf(stderr, "Can't notify the service manager: %s\n", reason);
    return -1;
}

int notify_ready()
{
    const char *name = getenv("NOTIFY_SOCKET");
    if (!name || !*name)
        return 0;
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    size_t length = strlen(name);
    if (name[0] != '/' && name[0] != '@')
        return notify_failed("not a socket name");
    if (length >= sizeof(address.sun_path))
        return notify_failed("socket name too long");
    memcpy(address.sun_path, name, length);
    if (name[0] == '@')
        address.sun_path[0] = '\0';  // abstract: no terminating zero counts either
    socklen_t size = (socklen_t)(offsetof(struct sockaddr_un, sun_path) + length);

    static const char ready[] = "READY=1";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return notify_failed(strerror(errno));
    ssize_t sent = sendto(fd, ready, sizeof(ready) - 1, MSG_NOSIGNAL,
                          (const struct sockaddr *)&address, size);
    int error = errno;
    close(fd);
    if (sent != (ssize_t)sizeof(ready) - 1)
        return notify_failed(strerror(error));
    return 0;
}
