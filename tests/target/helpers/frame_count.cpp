// frame-count: receives the numbered frames of frame-flood, from UDP port PORT (-u) or a CAN
// interface (-c), with identifier ID (-i, hexadecimal, default 00F00000; others count as
// foreign), until COUNT distinct ones came or MS milliseconds (-t, default 5000) passed
// without one, and prints
//   "received R of COUNT: lost L, duplicated D, out of order O, corrupt C, foreign F"
// Exit status 0 when all COUNT came exactly once, intact and in order; 1 otherwise; 2 for usage.
#include "cansocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

static void usage()
{
    fprintf(stderr, "Usage: frame-count (-u PORT | -c INTERFACE) [-i ID] -n COUNT [-t MS] [-r READY_FILE]\n");
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    long port = -1, count = -1, silence_ms = 5000;
    const char *interface = nullptr, *ready_file = nullptr;
    uint32_t want_id = 0x00F00000;
    int opt;
    while ((opt = getopt(argc, argv, "u:c:i:n:t:r:")) != -1) {
        switch (opt) {
        case 'i': want_id = (uint32_t)strtoul(optarg, nullptr, 16) & CAN_EFF_MASK; break;
        case 'u': port = strtol(optarg, nullptr, 10); break;
        case 'c': interface = optarg; break;
        case 'n': count = strtol(optarg, nullptr, 10); break;
        case 't': silence_ms = strtol(optarg, nullptr, 10); break;
        case 'r': ready_file = optarg; break;
        default: usage(); return 2;
        }
    }
    if ((port < 0) == (interface == nullptr) || port > 65535 || count <= 0) {
        usage();
        return 2;
    }

    int fd;
    if (interface) {
        fd = open_can_socket(interface, "frame-count: CAN socket: %s\n",
                             "frame-count: CAN interface: %s\n", "frame-count: CAN bind: %s\n");
        if (fd < 0)
            return 2;
    } else {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0) {
            fprintf(stderr, "frame-count: port %ld: %s\n", port, strerror(errno));
            return 2;
        }
    }
    // Room for bursts: the receiver must not be where frames get lost.
    int big = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big)) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (ready_file) {
        FILE *f = fopen(ready_file, "w");
        if (f)
            fclose(f);
    }

    std::vector<uint8_t> seen((size_t)count, 0);
    long received = 0, distinct = 0, duplicated = 0, out_of_order = 0, corrupt = 0, foreign = 0;
    long last = -1;
    // One wait, then everything that is there: fewer system calls per frame at high rates.
    bool waiting = true;
    while (distinct < count) {
        if (waiting) {
            struct pollfd p = {fd, POLLIN, 0};
            int ready = poll(&p, 1, (int)silence_ms);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                break;
        }
        uint32_t id;
        uint8_t data[8];
        unsigned dlc;
        if (interface) {
            struct can_frame f;
            ssize_t n = recv(fd, &f, sizeof(f), MSG_DONTWAIT);
            waiting = n < 0;
            if (n != (ssize_t)sizeof(f))
                continue;
            id = f.can_id & CAN_EFF_MASK;
            dlc = f.can_dlc;
            memcpy(data, f.data, 8);
            if (!(f.can_id & CAN_EFF_FLAG))
                dlc = 99;
        } else {
            uint8_t d[64];
            ssize_t n = recv(fd, d, sizeof(d), MSG_DONTWAIT);
            waiting = n < 0;
            if (n < 0)
                continue;
            if (n != 13) {
                foreign++;
                continue;
            }
            id = (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
            dlc = d[4];
            memcpy(data, d + 5, 8);
        }
        received++;
        uint32_t k = (uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3];
        uint32_t c = (uint32_t)data[4] << 24 | (uint32_t)data[5] << 16 | (uint32_t)data[6] << 8 | data[7];
        if (id != want_id || dlc != 8) {
            foreign++;
            continue;
        }
        if (c != ~k || k >= (uint32_t)count) {
            corrupt++;
            continue;
        }
        if (seen[k]) {
            duplicated++;
            continue;
        }
        seen[k] = 1;
        distinct++;
        if ((long)k < last)
            out_of_order++;
        last = (long)k;
    }
    printf("received %ld of %ld: lost %ld, duplicated %ld, out of order %ld, corrupt %ld, foreign %ld\n",
           distinct, count, count - distinct, duplicated, out_of_order, corrupt, foreign);
    return distinct == count && duplicated == 0 && out_of_order == 0 && corrupt == 0 ? 0 : 1;
}
