// SPDX-License-Identifier: GPL-2.0-or-later
// udp-send PORT: standard input, whatever it holds (nothing too), as one datagram to
// 127.0.0.1:PORT. Kept because Debian's busybox nc has no UDP and kit-send sends only well-formed
// frames, while the bad-input cases need datagrams of any length, an empty one included.
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>

int main(int argc, char **argv)
{
    static unsigned char datagram[65507];  // the most UDP over IPv4 carries
    size_t n = fread(datagram, 1, sizeof(datagram), stdin);
    if (argc != 2 || ferror(stdin) || fgetc(stdin) != EOF) {
        fprintf(stderr, "Usage: udp-send PORT <DATAGRAM (at most %zu bytes)\n", sizeof(datagram));
        return 2;
    }
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)atoi(argv[1]));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || sendto(fd, datagram, n, 0, (struct sockaddr *)&to, sizeof(to)) != (ssize_t)n) {
        perror("udp-send");
        return 1;
    }
    return 0;
}
