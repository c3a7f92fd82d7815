// frame-flood: sends COUNT numbered frames at RATE frames per second, either as 13-byte
// CanUdpFrame datagrams to ADDR:PORT (-u PORT) or as extended frames on a CAN interface (-c IF).
// Frame k (from 0) has identifier ID (-i, hexadecimal, default 00F00000), length 8, data = k as 4 bytes, most significant
// first, then 4 bytes of k's complement, so a counter can tell loss, duplicates and corruption.
// Pacing is by deadline (start + k / RATE), so a late wake-up is caught up, not lost; it sleeps
// only when more than 2 ms ahead, so it sends in short bursts and spends little on waking up.
// Prints "sent N frames in S.SSS s (R frames/s)"; exit status 0, 1 on a send error, 2 for usage.
#include "cansocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static void usage()
{
    fprintf(stderr, "Usage: frame-flood (-u PORT [-a ADDR] | -c INTERFACE) [-i ID] -n COUNT -r RATE\n");
}

static double now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_until(double deadline)
{
    struct timespec t;
    t.tv_sec = (time_t)deadline;
    t.tv_nsec = (long)((deadline - (double)t.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    long port = -1, count = -1;
    double rate = 0;
    const char *address = "127.0.0.1", *interface = nullptr;
    uint32_t id = 0x00F00000;
    int opt;
    while ((opt = getopt(argc, argv, "u:a:c:i:n:r:")) != -1) {
        switch (opt) {
        case 'i': id = (uint32_t)strtoul(optarg, nullptr, 16) & CAN_EFF_MASK; break;
        case 'u': port = strtol(optarg, nullptr, 10); break;
        case 'a': address = optarg; break;
        case 'c': interface = optarg; break;
        case 'n': count = strtol(optarg, nullptr, 10); break;
        case 'r': rate = strtod(optarg, nullptr); break;
        default: usage(); return 2;
        }
    }
    if ((port < 0) == (interface == nullptr) || port > 65535 || count < 0 || rate <= 0) {
        usage();
        return 2;
    }

    int fd;
    struct sockaddr_in to = {};
    if (interface) {
        fd = open_can_socket(interface, "frame-flood: CAN socket: %s\n",
                             "frame-flood: CAN interface: %s\n", "frame-flood: CAN bind: %s\n");
        if (fd < 0)
            return 2;
    } else {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)port);
        if (fd < 0 || inet_pton(AF_INET, address, &to.sin_addr) != 1) {
            fprintf(stderr, "frame-flood: bad address %s\n", address);
            return 2;
        }
    }

    double start = now();
    for (long k = 0; k < count; k++) {
        double deadline = start + (double)k / rate;
        if (now() < deadline - 0.002)
            sleep_until(deadline);
        uint32_t n = (uint32_t)k, c = ~(uint32_t)k;
        uint8_t data[8] = {(uint8_t)(n >> 24), (uint8_t)(n >> 16), (uint8_t)(n >> 8), (uint8_t)n,
                           (uint8_t)(c >> 24), (uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c};
        ssize_t sent;
        if (interface) {
            struct can_frame f = {};
            f.can_id = id | CAN_EFF_FLAG;
            f.can_dlc = 8;
            memcpy(f.data, data, 8);
            // A full queue is back pressure, not a lost frame: wait a moment and write again.
            while ((sent = write(fd, &f, sizeof(f))) < 0 && errno == ENOBUFS)
                usleep(100);
            sent = sent == (ssize_t)sizeof(f) ? 13 : -1;
        } else {
            uint8_t d[13] = {(uint8_t)(id >> 24), (uint8_t)(id >> 16), (uint8_t)(id >> 8), (uint8_t)id, 8};
            memcpy(d + 5, data, 8);
            sent = sendto(fd, d, sizeof(d), 0, (struct sockaddr *)&to, sizeof(to));
        }
        if (sent != 13) {
            fprintf(stderr, "frame-flood: frame %ld: %s\n", k, strerror(errno));
            return 1;
        }
    }
    double took = now() - start;
    printf("sent %ld frames in %.3f s (%.0f frames/s)\n", count, took, took > 0 ? count / took : 0.0);
    return 0;
}
