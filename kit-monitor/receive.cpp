// SPDX-License-Identifier: GPL-2.0-or-later
#include "receive.h"

#include "tally.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

int open_monitor_sockets(const monitor_settings *settings, int *sockets)
{
    tally.port_count = settings->port_count;
    for (int i = 0; i < settings->port_count; i++) {
        tally.ports[i].port = settings->ports[i];
        sockets[i] = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sockets[i] < 0) {
            fprintf(stderr, "UDP socket error: %s\n", strerror(errno));
            return -1;
        }
        // Beyond net.core.rmem_max only with CAP_NET_ADMIN; without it, as much as that allows.
        int queue = RECEIVE_QUEUE_BYTES, on = 1;
        if (setsockopt(sockets[i], SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof(queue)) < 0)
            setsockopt(sockets[i], SOL_SOCKET, SO_RCVBUF, &queue, sizeof(queue));
        setsockopt(sockets[i], SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
        setsockopt(sockets[i], SOL_SOCKET, SO_TIMESTAMP, &on, sizeof(on));
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);  // broadcasts too
        address.sin_port = htons(settings->ports[i]);
        if (bind(sockets[i], (struct sockaddr *)&address, sizeof(address)) < 0) {
            fprintf(stderr, "cannot bind UDP port %u: %s\n", settings->ports[i], strerror(errno));
            return -1;
        }
    }
    return 0;
}

static volatile sig_atomic_t end_signal;
static sigset_t unblocked;  // the mask while waiting: the end signals can come in

static void note_end_signal(int)
{
    end_signal = 1;
}

void catch_end_signals()
{
    // Blocked outside the wait, so one that comes while a burst is handled ends the next wait
    // at once instead of being lost before it.
    struct sigaction hangup;
    sigaction(SIGHUP, nullptr, &hangup);
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGINT);
    sigaddset(&ends, SIGTERM);
    if (hangup.sa_handler != SIG_IGN)
        sigaddset(&ends, SIGHUP);
    sigprocmask(SIG_BLOCK, &ends, &unblocked);
    struct sigaction action = {};
    action.sa_handler = note_end_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        if (!sigismember(&ends, sig))
            continue;
        sigdelset(&unblocked, sig);
        sigaction(sig, &action, nullptr);
    }
}

bool end_requested()
{
    return end_signal != 0;
}

double monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int wait_for_datagrams(const int *fds, int socket_count, int count, double hold_until, double deadline,
                       fd_set *ready)
{
    for (;;) {
        if (end_signal)
            return 0;
        double now = monotonic_seconds();
        if (deadline && now >= deadline)
            return 0;
        const bool held = now < hold_until;
        double until = held && (!deadline || hold_until < deadline) ? hold_until : deadline;
        struct timespec left, *timeout = nullptr;
        if (until) {
            double wait = until - now;
            left.tv_sec = (time_t)wait;
            left.tv_nsec = (long)((wait - (double)left.tv_sec) * 1e9);
            timeout = &left;
        }
        FD_ZERO(ready);
        int highest = -1;
        for (int i = held ? socket_count : 0; i < count; i++) {
            FD_SET(fds[i], ready);
            if (fds[i] > highest)
                highest = fds[i];
        }
        int n = pselect(highest + 1, ready, nullptr, nullptr, timeout, &unblocked);
        if (n > 0)
            return n;
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "select error: %s\n", strerror(errno));
            return -1;
        }
        // Interrupted, the hold over, or a time-out that the loop checks against the deadline.
    }
}

int receive_burst(int socket, int index, monitor_record *records, int max)
{
    // Only the first 13 bytes are kept: MSG_TRUNC still gives each datagram's whole length.
    static uint8_t buffers[RECEIVE_BURST][FRAME_SIZE];
    static struct sockaddr_in senders[RECEIVE_BURST];
    static union {
        char space[CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(struct timeval))];
        struct cmsghdr align;
    } controls[RECEIVE_BURST];
    static struct iovec vectors[RECEIVE_BURST];
    static struct mmsghdr messages[RECEIVE_BURST];
    if (max > RECEIVE_BURST)
        max = RECEIVE_BURST;
    for (int i = 0; i < max; i++) {
        vectors[i] = {buffers[i], sizeof(buffers[i])};
        messages[i].msg_hdr = {};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof(senders[i]);
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i].space;
        messages[i].msg_hdr.msg_controllen = sizeof(controls[i].space);
    }
    int n = recvmmsg(socket, messages, (unsigned)max, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        fprintf(stderr, "UDP receive error: %s\n", strerror(errno));
        return -1;
    }
    const double seen = monotonic_seconds();
    for (int i = 0; i < n; i++) {
        monitor_record *record = &records[i];
        struct msghdr *header = &messages[i].msg_hdr;
        bool stamped = false;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(header); c; c = CMSG_NXTHDR(header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t dropped;
                memcpy(&dropped, CMSG_DATA(c), sizeof(dropped));
                tally.ports[index].dropped = dropped;  // the socket's count since it was made
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
                memcpy(&record->when, CMSG_DATA(c), sizeof(record->when));
                stamped = true;
            }
        }
        if (!stamped)
            gettimeofday(&record->when, nullptr);
        record->seen = seen;
        record->sender = senders[i].sin_addr;
        record->sender_port = ntohs(senders[i].sin_port);
        record->port = tally.ports[index].port;
        decode_datagram(buffers[i], messages[i].msg_len, record);
    }
    tally.ports[index].datagrams += (unsigned long)n;
    return n;
}

void count_kernel_drops(const int *sockets, int count)
{
    for (int i = 0; i < count; i++) {
        uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof(info);
        if (getsockopt(sockets[i], SOL_SOCKET, SO_MEMINFO, info, &length) == 0 &&
            length > SK_MEMINFO_DROPS * sizeof(uint32_t) && info[SK_MEMINFO_DROPS] > tally.ports[i].dropped)
            tally.ports[i].dropped = info[SK_MEMINFO_DROPS];
    }
}
