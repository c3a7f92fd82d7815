// SPDX-License-Identifier: GPL-2.0-or-later
// A UDP receiver on 127.0.0.1 with a port of the system's choice, for tests that send for real.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

class UdpListener {
public:
    UdpListener()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, (struct sockaddr *)&a, sizeof(a));
        socklen_t len = sizeof(address_);
        getsockname(fd_, (struct sockaddr *)&address_, &len);
    }
    ~UdpListener() { close(fd_); }
    UdpListener(const UdpListener &) = delete;
    UdpListener &operator=(const UdpListener &) = delete;

    const struct sockaddr_in &address() const { return address_; }

    // Every datagram that arrives within timeout_ms of the previous one.
    std::vector<std::vector<uint8_t>> datagrams(int timeout_ms = 100)
    {
        std::vector<std::vector<uint8_t>> all;
        struct pollfd p = {fd_, POLLIN, 0};
        while (poll(&p, 1, timeout_ms) == 1) {
            uint8_t buf[4096];
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n < 0)
                break;
            all.emplace_back(buf, buf + n);
        }
        return all;
    }

private:
    int fd_;
    struct sockaddr_in address_;
};
