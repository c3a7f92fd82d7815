// SPDX-License-Identifier: GPL-2.0-or-later
// can-bench: frame generator and counter for measuring a CAN-UDP relay, and the minimal relays
// that serve as the floor to compare the gateway with. Ours because no tool is such a floor,
// and the rate ladder needs sends paced to a deadline (cangen sleeps a fixed gap per burst).
//
//   can-bench c2u -i IF -p PORT -n COUNT -f RATE   COUNT extended frames written to IF at RATE
//                                                  per second (0: as fast as possible), the
//                                                  datagrams arriving on PORT counted
//   can-bench u2c -i IF -p PORT -n COUNT -f RATE   COUNT 13-byte datagrams sent to
//                                                  127.0.0.1:PORT, the frames on IF counted
//   can-bench relay-can-udp -i IF -p PORT          floor: read a frame, sendto 127.0.0.1:PORT
//   can-bench relay-udp-can -i IF -p PORT          floor: recv a datagram on PORT, write it
//   -b BYTES  receive buffer of the relay's receiving socket (relays only; default: untouched)
//   -I ID     the frames' identifier (hex; default 00123456), -w SEC  the wait for stragglers
//             once all are sent (default 1)
//
// c2u and u2c print one line:
//   "rate 6250 sent 100000 received 100000 lost 0 duplicate 0 corrupt 0 seconds 16.001 reordered 0"
// Each frame carries its sequence number in data 0-3 and its complement in data 4-7.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

static canid_t bench_id = 0x00123456;
static int straggler_polls = 10;  // of 100 ms

static void die(const char *what)
{
    fprintf(stderr, "can-bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void set_rcvbuf(int fd, int bytes)
{
    // FORCE: past rmem_max, we are root in the VM.
    if (bytes > 0 && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof(bytes)) < 0)
        die("SO_RCVBUFFORCE");
}

static int can_socket(const char *name)
{
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0)
        die("CAN socket");
    struct ifreq ifr = {};
    strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0)
        die(name);
    struct sockaddr_can addr = {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) < 0)
        die("CAN bind");
    return fd;
}

static struct sockaddr_in loopback(int port)
{
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

static int udp_socket(int bind_port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        die("UDP socket");
    if (bind_port > 0) {
        struct sockaddr_in a = loopback(bind_port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(fd, (struct sockaddr *)&a, sizeof(a)) < 0)
            die("UDP bind");
    }
    return fd;
}

static double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

struct Tally {
    std::vector<uint8_t> seen;
    long received = 0, duplicate = 0, corrupt = 0, reordered = 0, last = -1;
    explicit Tally(long n) : seen((size_t)n, 0) {}
    void count(const uint8_t *data8, long n)
    {
        uint32_t seq = get32(data8), check = get32(data8 + 4);
        if (check != ~seq || seq >= (uint32_t)n) {
            corrupt++;
            return;
        }
        if (seen[seq]++) {
            duplicate++;
            return;
        }
        received++;
        reordered += (long)seq < last;
        last = seq;
    }
};

// Paces `count` sends at `rate` per second; send(i) sends frame i and returns false on failure.
template <typename Send>
static void pace(long count, long rate, Send send)
{
    double start = now();
    for (long i = 0; i < count;) {
        long due = rate > 0 ? (long)((now() - start) * (double)rate) + 1 : count;
        if (due > count)
            due = count;
        for (; i < due; i++) {
            while (!send(i)) {
                if (errno != ENOBUFS && errno != EAGAIN)
                    die("send");
                struct timespec ts = {0, 100000};
                nanosleep(&ts, nullptr);
            }
        }
        if (i < count && rate > 0) {
            double next = start + (double)i / (double)rate;
            double wait = next - now();
            if (wait > 0) {
                struct timespec ts = {(time_t)wait, (long)((wait - (double)(time_t)wait) * 1e9)};
                nanosleep(&ts, nullptr);
            }
        }
    }
}

// Receives until the sender is done and nothing came for a while.
template <typename Recv>
static void collect(int fd, std::atomic<bool> &done, Recv recv_one)
{
    int idle = 0;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r > 0) {
            recv_one();
            idle = 0;
        } else if (done && ++idle >= straggler_polls) {
            return;
        }
    }
}

static void report(long rate, long sent, const Tally &t, double seconds)
{
    printf("rate %ld sent %ld received %ld lost %ld duplicate %ld corrupt %ld seconds %.3f reordered %ld\n",
           rate, sent, t.received, sent - t.received, t.duplicate, t.corrupt, seconds, t.reordered);
}

static void can_to_udp(const char *ifname, int port, long count, long rate)
{
    int in = udp_socket(port);
    set_rcvbuf(in, 16 << 20);
    int out = can_socket(ifname);
    Tally tally(count);
    std::atomic<bool> done(false);
    std::thread counter([&] {
        collect(in, done, [&] {
            uint8_t buf[64];
            ssize_t n = recv(in, buf, sizeof(buf), 0);
            if (n == 13 && get32(buf) == bench_id && buf[4] == 8)
                tally.count(buf + 5, count);
            else if (n > 0)
                tally.corrupt++;
        });
    });
    double start = now();
    pace(count, rate, [&](long i) {
        struct can_frame f = {};
        f.can_id = bench_id | CAN_EFF_FLAG;
        f.can_dlc = 8;
        put32(f.data, (uint32_t)i);
        put32(f.data + 4, ~(uint32_t)i);
        return write(out, &f, sizeof(f)) == (ssize_t)sizeof(f);
    });
    double seconds = now() - start;
    done = true;
    counter.join();
    report(rate, count, tally, seconds);
}

static void udp_to_can(const char *ifname, int port, long count, long rate)
{
    int in = can_socket(ifname);
    set_rcvbuf(in, 16 << 20);
    int out = udp_socket(0);
    struct sockaddr_in to = loopback(port);
    Tally tally(count);
    std::atomic<bool> done(false);
    std::thread counter([&] {
        collect(in, done, [&] {
            struct can_frame f;
            if (read(in, &f, sizeof(f)) != (ssize_t)sizeof(f))
                return;
            if (f.can_id == (bench_id | CAN_EFF_FLAG) && f.can_dlc == 8)
                tally.count(f.data, count);
        });
    });
    double start = now();
    pace(count, rate, [&](long i) {
        uint8_t d[13] = {};
        put32(d, bench_id);
        d[4] = 8;
        put32(d + 5, (uint32_t)i);
        put32(d + 9, ~(uint32_t)i);
        return sendto(out, d, sizeof(d), 0, (struct sockaddr *)&to, sizeof(to)) == 13;
    });
    double seconds = now() - start;
    done = true;
    counter.join();
    report(rate, count, tally, seconds);
}

// The least a relay must do: one read, the conversion, one write per frame.
static void relay_can_udp(const char *ifname, int port, int rcvbuf)
{
    int in = can_socket(ifname);
    set_rcvbuf(in, rcvbuf);
    int out = udp_socket(0);
    struct sockaddr_in to = loopback(port);
    for (;;) {
        struct can_frame f;
        if (read(in, &f, sizeof(f)) != (ssize_t)sizeof(f) || !(f.can_id & CAN_EFF_FLAG))
            continue;
        uint8_t d[13] = {};
        put32(d, f.can_id & CAN_EFF_MASK);
        d[4] = f.can_dlc;
        memcpy(d + 5, f.data, f.can_dlc < 8 ? f.can_dlc : 8);
        sendto(out, d, sizeof(d), 0, (struct sockaddr *)&to, sizeof(to));
    }
}

static void relay_udp_can(const char *ifname, int port, int rcvbuf)
{
    int in = udp_socket(port);
    set_rcvbuf(in, rcvbuf);
    int out = can_socket(ifname);
    static uint8_t buf[4096];
    for (;;) {
        struct sockaddr_in from;
        socklen_t len = sizeof(from);
        if (recvfrom(in, buf, sizeof(buf), 0, (struct sockaddr *)&from, &len) != 13)
            continue;
        struct can_frame f = {};
        f.can_id = (get32(buf) & CAN_EFF_MASK) | CAN_EFF_FLAG;
        f.can_dlc = buf[4];
        memcpy(f.data, buf + 5, 8);
        write(out, &f, sizeof(f));
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: can-bench c2u|u2c|relay-can-udp|relay-udp-can [-i IF] [-p PORT] "
                        "[-n COUNT] [-f RATE] [-b RCVBUF] [-I ID] [-w SEC]\n");
        return 2;
    }
    const char *mode = argv[1];
    const char *ifname = "vcan0";
    int port = 7655, rcvbuf = 0;
    long count = 100000, rate = 0;
    int opt;
    optind = 2;
    while ((opt = getopt(argc, argv, "i:p:n:f:b:I:w:")) != -1) {
        switch (opt) {
        case 'i': ifname = optarg; break;
        case 'p': port = atoi(optarg); break;
        case 'n': count = atol(optarg); break;
        case 'f': rate = atol(optarg); break;
        case 'b': rcvbuf = atoi(optarg); break;
        case 'I': bench_id = (canid_t)strtoul(optarg, nullptr, 16) & CAN_EFF_MASK; break;
        case 'w': straggler_polls = atoi(optarg) * 10; break;
        default: return 2;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!strcmp(mode, "c2u"))
        can_to_udp(ifname, port, count, rate);
    else if (!strcmp(mode, "u2c"))
        udp_to_can(ifname, port, count, rate);
    else if (!strcmp(mode, "relay-can-udp"))
        relay_can_udp(ifname, port, rcvbuf);
    else if (!strcmp(mode, "relay-udp-can"))
        relay_udp_can(ifname, port, rcvbuf);
    else
        return 2;
    return 0;
}
