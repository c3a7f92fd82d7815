// SPDX-License-Identifier: GPL-2.0-or-later
#include "broadcast.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

int alloc_destination_texts(char **udp_dst_address, char **bcast_interface)
{
    *udp_dst_address = (char *)calloc(1, DEST_TEXT_SIZE);
    if (!*udp_dst_address) {
        fprintf(stderr, "can't alloc memory for udp_dst_address: %s\n", strerror(errno));
        return -1;
    }
    *bcast_interface = (char *)calloc(1, DEST_TEXT_SIZE);
    if (!*bcast_interface) {
        fprintf(stderr, "can't alloc memory for bcast_interface: %s\n", strerror(errno));
        return -1;
    }
    return 0;
}

int take_bcast_option(const char *arg, char *udp_dst_address, char *bcast_interface)
{
    if (strnlen(arg, DEST_TEXT_SIZE) >= (size_t)DEST_TEXT_SIZE) {
        fprintf(stderr, "UDP broadcast address or interface error: %s\n", arg);
        return -1;
    }
    char *target = (arg[0] >= '0' && arg[0] <= '9') ? udp_dst_address : bcast_interface;
    strncpy(target, arg, DEST_TEXT_SIZE - 1);
    target[DEST_TEXT_SIZE - 1] = '\0';
    return 0;
}

void resolve_broadcast_address(const struct ifaddrs *list, const char *bcast_interface,
                               char *udp_dst_address)
{
    if (udp_dst_address[0] != '\0')
        return;
    size_t prefix = strlen(bcast_interface);
    for (const struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if (strncmp(ifa->ifa_name, bcast_interface, prefix) != 0)
            continue;
        if (!ifa->ifa_broadaddr)
            continue;
        const struct sockaddr_in *bcast = (const struct sockaddr_in *)ifa->ifa_broadaddr;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &bcast->sin_addr, text, sizeof(text));
        strncpy(udp_dst_address, text, DEST_TEXT_SIZE - 1);
        udp_dst_address[DEST_TEXT_SIZE - 1] = '\0';
    }
}

void resolve_destination(const char *bcast_interface, char *udp_dst_address)
{
    if (udp_dst_address[0] != '\0')
        return;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        list = nullptr;
    resolve_broadcast_address(list, bcast_interface, udp_dst_address);
    if (list)
        freeifaddrs(list);
}

int convert_destination(const char *text, struct in_addr *address, const char *bcast_interface)
{
    int result = inet_pton(AF_INET, text, address);
    if (result == 0) {
        fputs("UDP IP invalid\n", stderr);
        // The line above alone does not say that the interface is missing (an example's name
        // copied from another system) or has no IPv4 address yet.
        if (text[0] == '\0' && bcast_interface && bcast_interface[0] != '\0')
            fprintf(stderr, "no interface %s with an IPv4 broadcast address\n", bcast_interface);
        return -1;
    }
    if (result < 0) {
        fputs("invalid address family\n", stderr);
        return -1;
    }
    return 0;
}

int open_broadcast_socket(const char *socket_error, const char *option_error)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        fprintf(stderr, socket_error, strerror(errno));
        return -1;
    }
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0) {
        fprintf(stderr, option_error, strerror(errno));
        return -1;
    }
    return fd;
}
