// SPDX-License-Identifier: GPL-2.0-or-later
#include "options.h"

#include "cli.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

static const uint16_t default_ports[] = {15730, 15731, 7655};

static void usage(const char *argv0)
{
    fprintf(stderr, "\nUsage: %s [-x] [-p <port>]... [-c <count>] [-t <sec>] [-L <file>] [-w <file>]\n"
                    "       [-i <name>] [-l] [-H [<address>:]<port>] [-V <file>]\n", program_name(argv0));
    fprintf(stderr, "   Version 1.0\n\n");
    fprintf(stderr, "         -p <port>           UDP port to listen on, repeatable - default 15730 15731 7655\n");
    fprintf(stderr, "         -x                  show the datagram's bytes in hex as well\n");
    fprintf(stderr, "         -c <count>          end after count datagrams - default 0 (no end)\n");
    fprintf(stderr, "         -t <sec>            end after sec seconds - default 0 (no end)\n");
    fprintf(stderr, "         -L <file>           write each frame to a candump log, - for standard output\n");
    fprintf(stderr, "         -w <file>           write each frame to a pcap file (SocketCAN link type)\n");
    fprintf(stderr, "         -i <name>           interface name in the log lines - default can0\n");
    fprintf(stderr, "         -l                  live screen: S88 occupancy grid and a row per CAN id\n");
    fprintf(stderr, "         -H [<address>:]<port>  live page and /state over HTTP - every address unless given\n");
    fprintf(stderr, "         -V <file>           write the S88 contacts as a waveform (VCD)\n\n");
}

// The text with its control characters as C escapes: a message quoting what the user gave
// must not break a line or move the cursor.
static std::string shown(const char *text)
{
    std::string out;
    for (const char *c = text; *c; c++) {
        unsigned char byte = (unsigned char)*c;
        char escape[8] = {'\\', *c};
        if (byte >= 0x20 && byte != 0x7F && byte != '\\')
            escape[0] = *c, escape[1] = '\0';
        else if (byte == '\n' || byte == '\t' || byte == '\r')
            escape[1] = byte == '\n' ? 'n' : byte == '\t' ? 't' : 'r';
        else if (byte != '\\')
            snprintf(escape, sizeof(escape), "\\x%02x", byte);
        out += escape;
    }
    return out;
}

// One word canplayer can map and a candump log line can carry: printable, no blanks, no '#',
// '(', ')' or '=', and it fits a kernel interface name.
static bool interface_name(const char *text)
{
    size_t length = strlen(text);
    if (length == 0 || length > 15)
        return false;
    for (size_t i = 0; i < length; i++) {
        unsigned char byte = (unsigned char)text[i];
        if (byte <= ' ' || byte == 0x7F || strchr("#()=", byte))
            return false;
    }
    return true;
}

// A whole decimal number from lowest to highest, or -1.
static long whole_number(const char *text, long lowest, long highest)
{
    char *end;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < lowest || value > highest)
        return -1;
    return value;
}

int parse_web_address(const char *text, struct sockaddr_in *address)
{
    memset(address, 0, sizeof(*address));
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_ANY);
    const char *colon = strrchr(text, ':');
    char host[INET_ADDRSTRLEN];
    if (colon) {
        size_t len = (size_t)(colon - text);
        if (len >= sizeof(host))
            return -1;
        memcpy(host, text, len);
        host[len] = '\0';
        if (inet_pton(AF_INET, host, &address->sin_addr) != 1)
            return -1;
    }
    long port = whole_number(colon ? colon + 1 : text, 1, 65535);
    if (port < 0)
        return -1;
    address->sin_port = htons((uint16_t)port);
    return 0;
}

int parse_monitor_options(int argc, char **argv, monitor_settings *settings)
{
    memset(settings, 0, sizeof(*settings));
    int opt;
    settings->interface = "can0";
    optopt = 0;  // getopt sets it for an unknown option or a missing argument, not for -?
    while ((opt = getopt(argc, argv, "p:xc:t:L:w:i:lH:V:h?")) != -1) {
        switch (opt) {
        case 'p': {
            long port = whole_number(optarg, 1, 65535);
            if (port < 0) {
                fprintf(stderr, "invalid port: %s\n", shown(optarg).c_str());
                return 1;
            }
            if (settings->port_count == MONITOR_MAX_PORTS) {
                fprintf(stderr, "invalid port: %s (at most %d ports)\n", shown(optarg).c_str(), MONITOR_MAX_PORTS);
                return 1;
            }
            settings->ports[settings->port_count++] = (uint16_t)port;
            break;
        }
        case 'x':
            settings->hex = 1;
            break;
        case 'c':
            settings->count = whole_number(optarg, 0, 1000000000L);
            if (settings->count < 0) {
                fprintf(stderr, "invalid count: %s\n", shown(optarg).c_str());
                return 1;
            }
            break;
        case 't':
            settings->seconds = whole_number(optarg, 0, 1000000000L);
            if (settings->seconds < 0) {
                fprintf(stderr, "invalid time: %s\n", shown(optarg).c_str());
                return 1;
            }
            break;
        case 'L':
            settings->log_path = optarg;
            break;
        case 'w':
            settings->pcap_path = optarg;
            break;
        case 'i':
            if (!interface_name(optarg)) {
                fprintf(stderr, "invalid interface name: %s\n", shown(optarg).c_str());
                return 1;
            }
            settings->interface = optarg;
            break;
        case 'l':
            settings->live = 1;
            break;
        case 'H':
            if (parse_web_address(optarg, &settings->web_address) < 0) {
                fprintf(stderr, "invalid address: %s\n", shown(optarg).c_str());
                return 1;
            }
            settings->web = 1;
            break;
        case 'V':
            settings->waveform_path = optarg;
            break;
        default:  // -h, -?, or a mistake that getopt has named: status 1, as cansend's
            usage(argv[0]);
            return opt == '?' && optopt ? 1 : 0;
        }
    }
    if (optind < argc) {
        usage(argv[0]);
        return 1;
    }
    bool log_to_stdout = settings->log_path && strcmp(settings->log_path, "-") == 0;
    if (settings->live && log_to_stdout) {
        fprintf(stderr, "invalid options: -l and -L - both want standard output\n");
        return 1;
    }
    settings->lines = !settings->live && !log_to_stdout;
    if (settings->port_count == 0) {
        for (uint16_t port : default_ports)
            settings->ports[settings->port_count++] = port;
    }
    return -1;
}

