// SPDX-License-Identifier: GPL-2.0-or-later
// kit-monitor's decoder: the kinds of frame it names, and one datagram turned into one record
// that every output takes. The table below is the one place a kind is added; the names, the
// summary's counts, /state and the lines all follow it (the Wireshark dissector keeps its own
// copy, which its test holds to this one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>
#include <sys/time.h>

constexpr size_t FRAME_SIZE = 13;    // 4 identifier bytes, most significant first, length, 8 data
constexpr int KIND_MAX_TESTS = 5;
constexpr int KIND_MAX_FIELDS = 5;

// Data byte `byte` (0 to 7) must lie within low..high for the kind; 8: no test.
struct kind_test {
    uint8_t byte = 8, low = 0, high = 0;
};

// A field of the words: bytes at..at+size-1 of the datagram, most significant first.
struct kind_field {
    const char *name = nullptr;
    uint8_t at = 0, size = 0;
    bool hex = false;  // shown as 0x%04X
};

// A kind: the identifier under a mask, the length, data bytes within ranges; the fields its
// words name, in their order. A frame is the first kind that it fits.
struct frame_kind {
    const char *name;
    uint32_t id, id_mask;
    uint8_t dlc;
    kind_test tests[KIND_MAX_TESTS];
    kind_field fields[KIND_MAX_FIELDS];  // the rest {nullptr}: unused
};

// Data bytes 0-2 of every loco frame the throttle sends: the loco id 0x4000 + low byte.
#define KIND_LOCO_BYTES {0, 0, 0}, {1, 0, 0}, {2, 0x40, 0x40}

inline constexpr frame_kind FRAME_KINDS[] = {
    {"s88-event", 0x00230300, 0x1FFF0300, 8, {{4, 0, 1}, {5, 0, 1}},
     {{"contact", 7, 2}, {"old", 9, 1}, {"new", 10, 1}, {"event-id", 5, 2}, {"hash", 2, 2, true}}},
    {"beacon", 0x00300300, 0x1FFFFFFF, 0, {}, {}},
    {"loco-speed", 0x00080300, 0x1FFFFFFF, 6, {KIND_LOCO_BYTES}, {{"loco", 8, 1}, {"speed", 9, 2}}},
    {"loco-direction", 0x000A0300, 0x1FFFFFFF, 5, {KIND_LOCO_BYTES, {4, 1, 2}},
     {{"loco", 8, 1}, {"direction", 9, 1}}},
    {"loco-function", 0x000C0300, 0x1FFFFFFF, 6, {KIND_LOCO_BYTES, {5, 0, 1}},
     {{"loco", 8, 1}, {"function", 9, 1}, {"state", 10, 1}}},
    {"start-stop", 0x00000300, 0x1FFFFFFF, 5, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 1}},
     {{"state", 9, 1}}},
};

// After the table's kinds: any other 13-byte datagram, and a datagram of another length.
constexpr int KIND_FRAME = (int)(sizeof(FRAME_KINDS) / sizeof(FRAME_KINDS[0]));
constexpr int KIND_BAD_LENGTH = KIND_FRAME + 1;
constexpr int KIND_COUNT = KIND_FRAME + 2;

constexpr int kind_named(std::string_view name)
{
    for (int k = 0; k < KIND_FRAME; k++)
        if (name == FRAME_KINDS[k].name)
            return k;
    return -1;
}

constexpr int field_named(int kind, std::string_view name)
{
    for (int f = 0; f < KIND_MAX_FIELDS && FRAME_KINDS[kind].fields[f].name; f++)
        if (name == FRAME_KINDS[kind].fields[f].name)
            return f;
    return -1;
}

// What the live view, the boards and the waveform read.
constexpr int KIND_S88_EVENT = kind_named("s88-event");
constexpr int KIND_BEACON = kind_named("beacon");
constexpr int S88_CONTACT = field_named(KIND_S88_EVENT, "contact");
constexpr int S88_NEW = field_named(KIND_S88_EVENT, "new");
static_assert(KIND_S88_EVENT >= 0 && KIND_BEACON >= 0 && S88_CONTACT >= 0 && S88_NEW >= 0);

// "s88-event", ..., "frame", "bad-length".
const char *kind_name(int kind);

// One datagram as the receive loop took it, and what it is.
struct monitor_record {
    struct timeval when;        // the kernel's time of arrival
    double seen;                // monotonic seconds when the monitor took it
    struct in_addr sender;
    uint16_t sender_port, port;  // host order; port: ours, where it arrived
    size_t length;              // the whole datagram's
    uint8_t bytes[FRAME_SIZE];  // its first bytes (all of a frame), zero past its length
    int kind;
    uint32_t id;                // a 13-byte one's: the low 29 bits of bytes 0-3
    uint8_t dlc;
    unsigned values[KIND_MAX_FIELDS];  // its kind's fields, in the table's order
};

// Decodes a datagram of length bytes, of which data holds the first ones (it reads at most 13,
// and none at or past data + length), into record's bytes, length, kind, id, dlc and values;
// the rest of record is left as it is.
void decode_datagram(const uint8_t *data, size_t length, monitor_record *record);

// The record's words, "<kind> <fields>", in text (at most size bytes, always terminated):
//   00 23 03 00 08 00 00 00 20 00 01 00 00 -> "s88-event contact=32 old=0 new=1 event-id=0 hash=0x0300"
//   00 30 03 00 00 ...                     -> "beacon"
//   00 12 34 56 02 11 22 ...               -> "frame id=0x00123456 dlc=2 data=11 22"
//   12 bytes                               -> "bad-length bytes=12"
// With hex set the words end with " hex=" and the datagram's bytes (at most 13, then " ...").
// Returns the text's length.
size_t format_words(const monitor_record *record, int hex, char *text, size_t size);

// Longest line: a frame of 8 data bytes with -x, after the time and the addresses.
constexpr size_t MONITOR_LINE_SIZE = 224;

// The line of a record, without newline:
//   "HH:MM:SS.uuuuuu 10.0.2.15:40123 -> 15730 s88-event contact=..."
// (local time of arrival). Returns its length.
size_t format_line(const monitor_record *record, int hex, char *line, size_t size);

// Appends to text, never past size (text stays terminated; what does not fit is cut).
void put_text(char *text, size_t size, size_t *used, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
