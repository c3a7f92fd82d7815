// SPDX-License-Identifier: GPL-2.0-or-later
// can-bridge: extended CAN frames to UDP datagrams and 13-byte datagrams to CAN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/can.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/types.h>

constexpr uint16_t BRIDGE_DEFAULT_LISTEN_PORT = 7654;
constexpr uint16_t BRIDGE_DEFAULT_DESTINATION_PORT = 7655;
constexpr size_t BRIDGE_BUFFER_SIZE = 4096;

struct bridge_settings {
    uint16_t listen_port;
    struct sockaddr_in destination;  // address and port of every outgoing datagram
    char interface[IFNAMSIZ];        // zero-filled, at most 15 characters
    int foreground;                  // -f: stay attached and trace every frame
};

struct bridge_context {
    int udp_socket;   // receives datagrams on the listening port
    int can_socket;
    int send_socket;  // sends datagrams to the destination, SO_BROADCAST on
    struct sockaddr_in destination;
    int foreground;
    // Each datagram is read here and each outgoing CanUdpFrame is assembled in its first 13
    // bytes; data bytes past an outgoing frame's length keep what was here before.
    uint8_t buffer[BRIDGE_BUFFER_SIZE];
    struct can_frame frame;  // frames read from CAN land here
};

// Defaults: listening port 7654, 255.255.255.255:7655, "can0", background.
void bridge_defaults(bridge_settings *settings);

// Reads the command line. Returns -1 to go on, or the exit status after the usage text (0) or
// "invalid IP address: %s\n" (1).
int parse_bridge_options(int argc, char **argv, bridge_settings *settings);

// Opens the receive socket, the CAN socket and the send socket in that order. Returns 0, or -1
// after the failing step's message.
int open_bridge_sockets(const bridge_settings *settings, bridge_context *ctx);

// One datagram of len bytes as read into buf (buf holds at least 13 bytes when len is 13).
// 13 bytes: written to can_socket as an extended frame ("CAN write error: %s\n" if the write
// does not take the whole frame), then traced if foreground. Any other length:
// "UDP packet size error: got %d bytes\n", dropped.
void forward_datagram(const uint8_t *buf, size_t len, int can_socket, int foreground);

// One frame as read from CAN. A standard 11-bit frame is dropped silently. An extended one
// is assembled in the first 13 bytes of buf (only its first can_dlc data bytes are written),
// sent to destination ("UDP write error: %s\n" unless all 13 bytes went), then traced if
// foreground.
void forward_can_frame(const struct can_frame *frame, uint8_t *buf, int send_socket,
                       const struct sockaddr_in *destination, int foreground);

// Reads what select reported readable, one read each, and forwards it.
void serve_can_socket(bridge_context *ctx);
void serve_udp_socket(bridge_context *ctx);

// The forwarding loop: never returns.
void run_bridge(bridge_context *ctx);
