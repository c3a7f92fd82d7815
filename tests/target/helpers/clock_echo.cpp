// SPDX-License-Identifier: GPL-2.0-or-later
// clock-echo: answers every datagram on 0.0.0.0:PORT with its own bytes followed by " " and
// this machine's CLOCK_REALTIME as SECONDS.NANOSECONDS, so a peer can relate the two clocks
// from the round trip. A datagram "end" ends it (status 0). Ours because the VM's busybox
// has no UDP in nc and no nanoseconds in date.
//
//   clock-echo -p PORT
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    int port = 0;
    int opt;
    while ((opt = getopt(argc, argv, "p:")) != -1) {
        if (opt != 'p') {
            fprintf(stderr, "usage: clock-echo -p PORT\n");
            return 2;
        }
        port = atoi(optarg);
    }
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    if (port <= 0 || s < 0 || bind(s, (struct sockaddr *)&address, sizeof(address)) < 0) {
        perror("clock-echo");
        return 1;
    }
    for (;;) {
        char buf[256];
        struct sockaddr_in from;
        socklen_t from_len = sizeof(from);
        ssize_t n = recvfrom(s, buf, sizeof(buf) - 40, 0, (struct sockaddr *)&from, &from_len);
        if (n < 0)
            continue;
        // The time is read as late as possible: the answer leaves right after.
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (n == 3 && memcmp(buf, "end", 3) == 0)
            return 0;
        n += snprintf(buf + n, 40, " %lld.%09ld", (long long)now.tv_sec, now.tv_nsec);
        sendto(s, buf, (size_t)n, 0, (struct sockaddr *)&from, from_len);
    }
}
