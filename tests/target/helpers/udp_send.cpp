// udp-send: sends one UDP datagram per HEX argument to ADDR:PORT (ADDR default 127.0.0.1).
// HEX is a string of hex digit pairs, spaces allowed ("00 23 03 00 08 ..."); "" or "-" sends an
// empty datagram. Exit status 0 when every datagram went out, 1 when one failed, 2 for bad usage.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

static void usage()
{
    fprintf(stderr, "Usage: udp-send [-a ADDR] -p PORT HEX...\n");
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)tolower((unsigned char)c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Returns the number of bytes, or -1 when the text is not whole hex digit pairs.
static long parse_hex(const char *text, unsigned char *out, size_t room)
{
    if (strcmp(text, "-") == 0)
        return 0;
    size_t n = 0;
    int high = -1;
    for (const char *c = text; *c; c++) {
        if (isspace((unsigned char)*c))
            continue;
        int v = hex_value(*c);
        if (v < 0)
            return -1;
        if (high < 0) {
            high = v;
            continue;
        }
        if (n == room)
            return -1;
        out[n++] = (unsigned char)(high << 4 | v);
        high = -1;
    }
    return high < 0 ? (long)n : -1;
}

int main(int argc, char **argv)
{
    const char *address_text = "127.0.0.1";
    long port = -1;
    int opt;
    while ((opt = getopt(argc, argv, "a:p:")) != -1) {
        switch (opt) {
        case 'a':
            address_text = optarg;
            break;
        case 'p':
            port = strtol(optarg, nullptr, 10);
            break;
        default:
            usage();
            return 2;
        }
    }
    if (port < 0 || port > 65535 || optind == argc) {
        usage();
        return 2;
    }
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, address_text, &to.sin_addr) != 1) {
        fprintf(stderr, "udp-send: not an IPv4 address: %s\n", address_text);
        return 2;
    }
    // Check every argument before sending anything, so a typo never sends half a sequence.
    static unsigned char datagram[65507];
    for (int i = optind; i < argc; i++) {
        if (parse_hex(argv[i], datagram, sizeof(datagram)) < 0) {
            fprintf(stderr, "udp-send: not whole hex byte pairs: \"%s\"\n", argv[i]);
            return 2;
        }
    }

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        fprintf(stderr, "udp-send: socket: %s\n", strerror(errno));
        return 1;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    for (int i = optind; i < argc; i++) {
        long n = parse_hex(argv[i], datagram, sizeof(datagram));
        if (sendto(fd, datagram, (size_t)n, 0, (struct sockaddr *)&to, sizeof(to)) != n) {
            fprintf(stderr, "udp-send: sendto %s:%ld: %s\n", address_text, port, strerror(errno));
            return 1;
        }
    }
    return 0;
}
