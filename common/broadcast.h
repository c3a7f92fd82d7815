// SPDX-License-Identifier: GPL-2.0-or-later
// Where the reporter and the beacon send their frames: the -b rule, the broadcast address of
// a named interface, and the UDP broadcast socket.
#pragma once

#include <cstdint>
#include <ifaddrs.h>
#include <netinet/in.h>

// Both texts are 40-byte buffers holding at most 39 characters.
constexpr int DEST_TEXT_SIZE = 40;

// Allocates the two zero-filled 40-byte texts. On failure prints
// "can't alloc memory for udp_dst_address: %s\n" (or ... bcast_interface ...) and returns -1.
int alloc_destination_texts(char **udp_dst_address, char **bcast_interface);

// The -b rule: "192.168.1.255" -> udp_dst_address; "eth" or "br-lan" -> bcast_interface.
// An argument of 40 characters or more prints
// "UDP broadcast address or interface error: %s\n" and returns -1.
int take_bcast_option(const char *arg, char *udp_dst_address, char *bcast_interface);

// Walks an interface list (getifaddrs order): every IPv4 entry whose name begins with
// bcast_interface ("" matches all) and has a broadcast address replaces udp_dst_address with
// it, so the last one wins. Leaves udp_dst_address alone when it already holds an address.
void resolve_broadcast_address(const struct ifaddrs *list, const char *bcast_interface,
                               char *udp_dst_address);

// The same over the system's own list; a list that cannot be had counts as empty.
void resolve_destination(const char *bcast_interface, char *udp_dst_address);

// Dotted-quad text -> address. Prints "UDP IP invalid\n" (not an IPv4 address, "" included)
// or "invalid address family\n" and returns -1 on failure. When -b named an interface that gave
// no address (text empty, bcast_interface not), a second line names it:
// "no interface br-lan with an IPv4 broadcast address\n".
int convert_destination(const char *text, struct in_addr *address,
                        const char *bcast_interface = nullptr);

// A UDP socket with SO_BROADCAST on. On failure prints socket_error or option_error (each a
// format taking the error text) and returns -1.
int open_broadcast_socket(const char *socket_error, const char *option_error);
