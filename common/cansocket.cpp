// SPDX-License-Identifier: GPL-2.0-or-later
#include "cansocket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

void copy_interface_name(char *field, const char *text)
{
    memset(field, 0, IFNAMSIZ);
    strncpy(field, text, IFNAMSIZ - 1);
}

int open_can_socket(const char *name, const char *socket_error, const char *setup_error,
                    const char *bind_error)
{
    int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        fprintf(stderr, socket_error, strerror(errno));
        return -1;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    copy_interface_name(ifr.ifr_name, name);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        fprintf(stderr, setup_error, strerror(errno));
        return -1;
    }
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) < 0) {
        fprintf(stderr, bind_error, strerror(errno));
        return -1;
    }
    return fd;
}
