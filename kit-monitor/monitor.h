// kit-monitor: receives CanUdpFrame datagrams on a few UDP ports and prints each one as a line
// in words, then a summary of what came.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/time.h>

constexpr int MONITOR_MAX_PORTS = 16;
// Longest decoded text: a frame of 8 data bytes with -x is under 110 characters.
constexpr size_t MONITOR_TEXT_SIZE = 160;

// What a datagram is, as the line names it. KIND_FRAME: any other 13-byte datagram.
enum monitor_kind {
    KIND_S88_EVENT,
    KIND_BEACON,
    KIND_LOCO_SPEED,
    KIND_LOCO_DIRECTION,
    KIND_LOCO_FUNCTION,
    KIND_START_STOP,
    KIND_FRAME,
    KIND_BAD_LENGTH,
    KIND_COUNT
};

// "s88-event", "beacon", ..., "bad-length", indexed by monitor_kind.
extern const char *const monitor_kind_names[KIND_COUNT];

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
// an "invalid ..." message (1).
int parse_monitor_options(int argc, char **argv, monitor_settings *settings);

// Appends to text, never past size (text stays terminated; what does not fit is cut).
void put_text(char *text, size_t size, size_t *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// One datagram of len bytes at data -> "<kind> <fields>" in text (at most size bytes, always
// terminated), reading no byte at or past data + len. Returns its kind.
//   00 23 03 00 08 00 00 00 20 00 01 00 00 -> "s88-event contact=32 old=0 new=1 event-id=0 hash=0x0300"
//   00 30 03 00 00 ...                     -> "beacon"
//   12 bytes                               -> "bad-length bytes=12"
// With hex set the text ends with " hex=" and the datagram's bytes (at most 13, then " ...").
int decode_datagram(const uint8_t *data, size_t len, int hex, char *text, size_t size);

// Binds one UDP socket to 0.0.0.0 on each port, in order, into sockets[]. Returns 0, or -1
// after "UDP socket error: %s\n" or "cannot bind UDP port %u: %s\n".
int open_monitor_sockets(const monitor_settings *settings, int *sockets);

// SIGINT and SIGTERM end the run: they stay blocked except while wait_for_datagrams waits.
void catch_end_signals();
// Set once SIGINT or SIGTERM came.
bool end_requested();

// Descriptors to wait for beside the sockets (the web page's), filled in by their owner: its
// read set goes into ready, its write and except sets come back marked as select marks them.
struct wait_extra {
    fd_set read, write, except;
    int highest;  // -1: none
};

// Waits until a socket (or an extra descriptor) is ready, a signal came, or the monotonic time
// passes deadline (a null deadline waits for ever). Returns the number of ready descriptors
// (sockets marked in ready), 0 when the time is up or a signal came, -1 after
// "select error: %s\n".
int wait_for_datagrams(const int *sockets, int count, const struct timespec *deadline,
                       fd_set *ready, wait_extra *extra = nullptr);

struct live_view;

// Reads one datagram from the socket bound to port, prints its line on stdout if settings say so:
//   "HH:MM:SS.uuuuuu 10.0.2.15:40123 -> 15730 s88-event contact=..."
// writes a 13-byte one to the captures and enters it into live (unless null), and returns its
// kind, or -1 after "UDP receive error: %s\n".
int receive_datagram(int socket, uint16_t port, const monitor_settings *settings, live_view *live);

// Seconds on the monotonic clock.
double monotonic_seconds();

// "summary: 7 datagrams in 30.0 s: s88-event=4 beacon=3 loco-speed=0 ... bad-length=0"
// On out: standard output, or standard error while the log has standard output.
void print_summary(FILE *out, const unsigned long *counts, double seconds);
