// udp-dump: prints every UDP datagram that arrives on 0.0.0.0:PORT, one line each:
// "<length> <hex bytes, lower case, space separated>" ("0" for an empty datagram).
// Ends after COUNT datagrams (-n) or after MS milliseconds without one (-t, default 2000).
// Exit status: 0, or 1 when -n was given and fewer datagrams came; 2 for usage or socket errors.
// -r FILE creates FILE once the socket is bound, so a case can start its sender only then.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

static void usage()
{
    fprintf(stderr, "Usage: udp-dump -p PORT [-n COUNT] [-t MS] [-r READY_FILE]\n");
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    long port = -1;
    long count = 0;
    long silence_ms = 2000;
    const char *ready_file = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "p:n:t:r:")) != -1) {
        switch (opt) {
        case 'p':
            port = strtol(optarg, nullptr, 10);
            break;
        case 'n':
            count = strtol(optarg, nullptr, 10);
            break;
        case 't':
            silence_ms = strtol(optarg, nullptr, 10);
            break;
        case 'r':
            ready_file = optarg;
            break;
        default:
            usage();
            return 2;
        }
    }
    if (port < 0 || port > 65535 || count < 0 || silence_ms < 0 || optind != argc) {
        usage();
        return 2;
    }

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        fprintf(stderr, "udp-dump: socket: %s\n", strerror(errno));
        return 2;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr *)&address, sizeof(address)) < 0) {
        fprintf(stderr, "udp-dump: bind to port %ld: %s\n", port, strerror(errno));
        return 2;
    }
    if (ready_file) {
        int ready = open(ready_file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (ready < 0) {
            fprintf(stderr, "udp-dump: %s: %s\n", ready_file, strerror(errno));
            return 2;
        }
        close(ready);
    }

    static unsigned char buffer[65536];
    long received = 0;
    while (count == 0 || received < count) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, (int)silence_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            fprintf(stderr, "udp-dump: poll: %s\n", strerror(errno));
            return 2;
        }
        if (ready == 0)
            break;
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0) {
            fprintf(stderr, "udp-dump: recv: %s\n", strerror(errno));
            return 2;
        }
        printf("%zd", n);
        for (ssize_t i = 0; i < n; i++)
            printf(" %02x", buffer[i]);
        printf("\n");
        received++;
    }
    return (count != 0 && received < count) ? 1 : 0;
}
