#include "monitor.h"

#include "canudp.h"
#include "captures.h"
#include "live.h"
#include "waveform.h"
#include "cli.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

const char *const monitor_kind_names[KIND_COUNT] = {
    "s88-event", "beacon", "loco-speed", "loco-direction", "loco-function", "start-stop",
    "frame", "bad-length",
};

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
                fprintf(stderr, "invalid port: %s\n", optarg);
                return 1;
            }
            if (settings->port_count == MONITOR_MAX_PORTS) {
                fprintf(stderr, "invalid port: %s (at most %d ports)\n", optarg, MONITOR_MAX_PORTS);
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
                fprintf(stderr, "invalid count: %s\n", optarg);
                return 1;
            }
            break;
        case 't':
            settings->seconds = whole_number(optarg, 0, 1000000000L);
            if (settings->seconds < 0) {
                fprintf(stderr, "invalid time: %s\n", optarg);
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
            // One word canplayer can map: no blanks, no '#', and it fits a kernel interface name.
            if (optarg[0] == '\0' || strlen(optarg) > 15 || strpbrk(optarg, " \t#()=")) {
                fprintf(stderr, "invalid interface name: %s\n", optarg);
                return 1;
            }
            settings->interface = optarg;
            break;
        case 'l':
            settings->live = 1;
            break;
        case 'H':
            if (parse_web_address(optarg, &settings->web_address) < 0) {
                fprintf(stderr, "invalid address: %s\n", optarg);
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

void put_text(char *text, size_t size, size_t *used, const char *format, ...)
{
    if (*used + 1 >= size)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text + *used, size - *used, format, args);
    va_end(args);
    if (n > 0)
        *used += (size_t)n < size - *used ? (size_t)n : size - *used - 1;
}

// Data bytes 0-2 of every loco frame the throttle sends: the loco id 0x4000 + low byte.
static bool loco_frame(const uint8_t *d)
{
    return d[0] == 0x00 && d[1] == 0x00 && d[2] == 0x40;
}

static int decode_frame(const uint8_t *f, char *text, size_t size, size_t *used)
{
    const uint32_t id = ((uint32_t)f[0] << 24 | (uint32_t)f[1] << 16 | (uint32_t)f[2] << 8 | f[3]) &
                        0x1FFFFFFFu;  // the top 3 bits are not part of the identifier
    const uint8_t dlc = f[4];
    const uint8_t *d = f + 5;

    if ((id & 0xFFFF0000u) == 0x00230000u && (id & 0x300u) == 0x300u && dlc == 8 && d[4] <= 1 &&
        d[5] <= 1) {
        put_text(text, size, used, "s88-event contact=%u old=%u new=%u event-id=%u hash=0x%04X",
                 (unsigned)d[2] << 8 | d[3], d[4], d[5], (unsigned)d[0] << 8 | d[1], id & 0xFFFFu);
        return KIND_S88_EVENT;
    }
    if (id == 0x00300300u && dlc == 0) {
        put_text(text, size, used, "beacon");
        return KIND_BEACON;
    }
    if (id == 0x00080300u && dlc == 6 && loco_frame(d)) {
        put_text(text, size, used, "loco-speed loco=%u speed=%u", d[3], (unsigned)d[4] << 8 | d[5]);
        return KIND_LOCO_SPEED;
    }
    if (id == 0x000A0300u && dlc == 5 && loco_frame(d) && (d[4] == 1 || d[4] == 2)) {
        put_text(text, size, used, "loco-direction loco=%u direction=%u", d[3], d[4]);
        return KIND_LOCO_DIRECTION;
    }
    if (id == 0x000C0300u && dlc == 6 && loco_frame(d) && d[5] <= 1) {
        put_text(text, size, used, "loco-function loco=%u function=%u state=%u", d[3], d[4], d[5]);
        return KIND_LOCO_FUNCTION;
    }
    if (id == 0x00000300u && dlc == 5 && d[0] == 0 && d[1] == 0 && d[2] == 0 && d[3] == 0 &&
        d[4] <= 1) {
        put_text(text, size, used, "start-stop state=%u", d[4]);
        return KIND_START_STOP;
    }
    // A length above 8 is shown as it came, with the 8 bytes the frame holds.
    put_text(text, size, used, "frame id=0x%08X dlc=%u data=", id, dlc);
    for (int i = 0; i < dlc && i < 8; i++)
        put_text(text, size, used, i ? " %02x" : "%02x", d[i]);
    return KIND_FRAME;
}

int decode_datagram(const uint8_t *data, size_t len, int hex, char *text, size_t size)
{
    size_t used = 0;
    if (size == 0)
        return len == 13 ? KIND_FRAME : KIND_BAD_LENGTH;
    text[0] = '\0';
    int kind;
    if (len == 13) {
        kind = decode_frame(data, text, size, &used);
    } else {
        put_text(text, size, &used, "bad-length bytes=%zu", len);
        kind = KIND_BAD_LENGTH;
    }
    if (hex) {
        put_text(text, size, &used, " hex=");
        for (size_t i = 0; i < len && i < 13; i++)
            put_text(text, size, &used, i ? " %02x" : "%02x", data[i]);
        if (len > 13)
            put_text(text, size, &used, " ...");
    }
    return kind;
}

int open_monitor_sockets(const monitor_settings *settings, int *sockets)
{
    for (int i = 0; i < settings->port_count; i++) {
        sockets[i] = socket(AF_INET, SOCK_DGRAM, 0);
        if (sockets[i] < 0) {
            fprintf(stderr, "UDP socket error: %s\n", strerror(errno));
            return -1;
        }
        // A queue that outlasts a busy moment of this machine: about 0.3 s of frames at
        // 6,250 a second, where the default holds 40 ms. The kernel caps it at rmem_max.
        int queue = 2 << 20;
        setsockopt(sockets[i], SOL_SOCKET, SO_RCVBUF, &queue, sizeof(queue));
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
    // Blocked outside the wait, so one that comes while a line is printed ends the next wait
    // at once instead of being lost before it.
    sigset_t ends;
    sigemptyset(&ends);
    sigaddset(&ends, SIGINT);
    sigaddset(&ends, SIGTERM);
    sigprocmask(SIG_BLOCK, &ends, &unblocked);
    sigdelset(&unblocked, SIGINT);
    sigdelset(&unblocked, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = note_end_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool end_requested()
{
    return end_signal != 0;
}

int wait_for_datagrams(const int *sockets, int count, const struct timespec *deadline,
                       fd_set *ready, wait_extra *extra)
{
    for (;;) {
        if (end_signal)
            return 0;
        struct timespec left, *timeout = nullptr;
        if (deadline) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            int64_t ns = (int64_t)(deadline->tv_sec - now.tv_sec) * 1000000000 +
                         (deadline->tv_nsec - now.tv_nsec);
            if (ns <= 0)
                return 0;
            left.tv_sec = (time_t)(ns / 1000000000);
            left.tv_nsec = (long)(ns % 1000000000);
            timeout = &left;
        }
        FD_ZERO(ready);
        int highest = -1;
        fd_set write, except;
        FD_ZERO(&write);
        FD_ZERO(&except);
        if (extra) {
            *ready = extra->read;
            write = extra->write;
            except = extra->except;
            highest = extra->highest;
        }
        for (int i = 0; i < count; i++) {
            FD_SET(sockets[i], ready);
            if (sockets[i] > highest)
                highest = sockets[i];
        }
        int n = pselect(highest + 1, ready, &write, &except, timeout, &unblocked);
        if (n > 0 && extra) {
            extra->write = write;
            extra->except = except;
        }
        if (n > 0)
            return n;
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "select error: %s\n", strerror(errno));
            return -1;
        }
        // Interrupted, or a time-out that the loop checks against the deadline itself.
    }
}

double monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

int receive_datagram(int socket, uint16_t port, const monitor_settings *settings, live_view *live)
{
    static uint8_t buffer[65536];  // the largest UDP datagram, so bad lengths are exact
    struct sockaddr_in from = {};
    socklen_t from_len = sizeof(from);
    ssize_t n = recvfrom(socket, buffer, sizeof(buffer), 0, (struct sockaddr *)&from, &from_len);
    if (n < 0) {
        fprintf(stderr, "UDP receive error: %s\n", strerror(errno));
        return -1;
    }
    struct timeval when;
    gettimeofday(&when, nullptr);
    if (n == 13) {  // anything else is not a frame and goes to no capture
        capture_frame(buffer, &when);
        waveform_frame(buffer, &when);
        if (live)
            live_note_frame(live, buffer, monotonic_seconds());
    }
    char text[MONITOR_TEXT_SIZE];
    int kind = decode_datagram(buffer, (size_t)n, settings->hex, text, sizeof(text));
    if (!settings->lines && !live)
        return kind;
    char sender[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, sender, sizeof(sender));
    time_t seconds = when.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    char line[LIVE_LINE_SIZE];
    snprintf(line, sizeof(line), "%02d:%02d:%02d.%06d %s:%u -> %u %s", local.tm_hour, local.tm_min,
             local.tm_sec, (int)when.tv_usec, sender, ntohs(from.sin_port), port, text);
    if (settings->lines)
        printf("%s\n", line);
    if (live)
        live_note_line(live, line);
    return kind;
}

void print_summary(FILE *out, const unsigned long *counts, double seconds)
{
    unsigned long total = 0;
    for (int k = 0; k < KIND_COUNT; k++)
        total += counts[k];
    fprintf(out, "summary: %lu datagrams in %.1f s:", total, seconds);
    for (int k = 0; k < KIND_COUNT; k++)
        fprintf(out, " %s=%lu", monitor_kind_names[k], counts[k]);
    fprintf(out, "\n");
}
