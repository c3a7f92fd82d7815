// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's command line.
#pragma once

#include <cstdint>
#include <netinet/in.h>

constexpr int MONITOR_MAX_PORTS = 16;

struct monitor_settings {
    uint16_t ports[MONITOR_MAX_PORTS];  // 15730, 15731 and 7655 unless -p is given
    int port_count;
    int hex;         // -x: every line ends with the datagram's bytes
    long count;      // -c: end after this many datagrams; 0 for no limit
    long seconds;    // -t: end after this long; 0 for no limit
    const char *log_path;   // -L: candump log ("-": standard output), or null
    const char *pcap_path;  // -w: pcap file, or null
    const char *interface;  // -i: the interface the log names, "can0" unless given
    int live;               // -l: the live screen in place of the lines
    int lines;              // a line per datagram: unless -l or -L - takes standard output
    int web;                // -H: the live page over HTTP, at web_address
    struct sockaddr_in web_address;
    const char *waveform_path;  // -V: S88 contacts as a VCD file, or null
};

// "[ADDRESS:]PORT" (-H) -> an IPv4 address and port; without ADDRESS every address of the
// machine. Returns 0, or -1 for anything else.
int parse_web_address(const char *text, struct sockaddr_in *address);

// Reads the command line. Returns -1 to go on, or the exit status after the usage text (0) or
// an "invalid ..." message (1). A value is echoed in the message with its control characters
// escaped ("can\n0"), so a message never moves a terminal's cursor.
int parse_monitor_options(int argc, char **argv, monitor_settings *settings);
