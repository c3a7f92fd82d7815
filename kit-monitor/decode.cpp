// SPDX-License-Identifier: GPL-2.0-or-later
#include "decode.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

const char *kind_name(int kind)
{
    if (kind >= 0 && kind < KIND_FRAME)
        return FRAME_KINDS[kind].name;
    return kind == KIND_FRAME ? "frame" : kind == KIND_BAD_LENGTH ? "bad-length" : "?";
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

static unsigned field_value(const uint8_t *frame, const kind_field &field)
{
    unsigned value = 0;
    for (int i = 0; i < field.size; i++)
        value = value << 8 | frame[field.at + i];
    return value;
}

static bool fits(const uint8_t *frame, uint32_t id, const frame_kind &kind)
{
    if ((id & kind.id_mask) != kind.id || frame[4] != kind.dlc)
        return false;
    for (const kind_test &test : kind.tests) {
        if (test.byte >= 8)
            continue;
        uint8_t byte = frame[5 + test.byte];
        if (byte < test.low || byte > test.high)
            return false;
    }
    return true;
}

void decode_datagram(const uint8_t *data, size_t length, monitor_record *record)
{
    record->length = length;
    memset(record->bytes, 0, sizeof(record->bytes));
    memcpy(record->bytes, data, length < FRAME_SIZE ? length : FRAME_SIZE);
    memset(record->values, 0, sizeof(record->values));
    record->id = 0;
    record->dlc = 0;
    if (length != FRAME_SIZE) {
        record->kind = KIND_BAD_LENGTH;
        return;
    }
    const uint8_t *f = record->bytes;
    // The top 3 bits are not part of the identifier.
    record->id = ((uint32_t)f[0] << 24 | (uint32_t)f[1] << 16 | (uint32_t)f[2] << 8 | f[3]) & 0x1FFFFFFFu;
    record->dlc = f[4];
    record->kind = KIND_FRAME;
    for (int k = 0; k < KIND_FRAME; k++) {
        if (!fits(f, record->id, FRAME_KINDS[k]))
            continue;
        record->kind = k;
        for (int i = 0; i < KIND_MAX_FIELDS && FRAME_KINDS[k].fields[i].name; i++)
            record->values[i] = field_value(f, FRAME_KINDS[k].fields[i]);
        return;
    }
}

// Text appended without printf: a line per datagram at thousands a second is the monitor's
// hottest path. Never past size - 1; the text stays terminated.
struct text_out {
    char *text;
    size_t size, used;
};

static void put(text_out *out, const char *chars, size_t length)
{
    if (out->used + 1 >= out->size)
        return;
    size_t room = out->size - 1 - out->used;
    size_t n = length < room ? length : room;
    memcpy(out->text + out->used, chars, n);
    out->used += n;
    out->text[out->used] = '\0';
}

static void put(text_out *out, const char *chars)
{
    put(out, chars, strlen(chars));
}

// A number in decimal, at least digits long (zero-padded).
static void put_decimal(text_out *out, unsigned long value, int digits = 1)
{
    char buffer[24];
    int n = 0;
    do {
        buffer[sizeof(buffer) - 1 - n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value || n < digits);
    put(out, buffer + sizeof(buffer) - n, (size_t)n);
}

static void put_hex(text_out *out, unsigned long value, int digits, bool upper)
{
    const char *numerals = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char buffer[16];
    for (int i = digits - 1; i >= 0; i--, value >>= 4)
        buffer[i] = numerals[value & 0xF];
    put(out, buffer, (size_t)digits);
}

// Bytes as two lower-case hex digits each, separated by blanks.
static void put_bytes(text_out *out, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (i)
            put(out, " ", 1);
        put_hex(out, bytes[i], 2, false);
    }
}

static void put_words(text_out *out, const monitor_record *record, int hex)
{
    const int kind = record->kind;
    if (kind == KIND_BAD_LENGTH) {
        put(out, "bad-length bytes=");
        put_decimal(out, record->length);
    } else if (kind == KIND_FRAME) {
        // A length above 8 is shown as it came, with the 8 bytes the frame holds.
        put(out, "frame id=0x");
        put_hex(out, record->id, 8, true);
        put(out, " dlc=");
        put_decimal(out, record->dlc);
        put(out, " data=");
        put_bytes(out, record->bytes + 5, record->dlc < 8 ? record->dlc : 8);
    } else {
        put(out, FRAME_KINDS[kind].name);
        for (int i = 0; i < KIND_MAX_FIELDS && FRAME_KINDS[kind].fields[i].name; i++) {
            const kind_field &field = FRAME_KINDS[kind].fields[i];
            put(out, " ", 1);
            put(out, field.name);
            put(out, field.hex ? "=0x" : "=");
            if (field.hex)
                put_hex(out, record->values[i], 4, true);
            else
                put_decimal(out, record->values[i]);
        }
    }
    if (hex) {
        put(out, " hex=");
        put_bytes(out, record->bytes, record->length < FRAME_SIZE ? record->length : FRAME_SIZE);
        if (record->length > FRAME_SIZE)
            put(out, " ...");
    }
}

size_t format_words(const monitor_record *record, int hex, char *text, size_t size)
{
    if (size == 0)
        return 0;
    text_out out = {text, size, 0};
    text[0] = '\0';
    put_words(&out, record, hex);
    return out.used;
}

size_t format_line(const monitor_record *record, int hex, char *line, size_t size)
{
    if (size == 0)
        return 0;
    // The clock's fields change once a second: localtime_r once per second, not per line.
    static time_t last_second = -1;
    static char clock[16];
    if (record->when.tv_sec != last_second) {
        time_t seconds = record->when.tv_sec;
        struct tm local;
        localtime_r(&seconds, &local);
        snprintf(clock, sizeof(clock), "%02d:%02d:%02d.", local.tm_hour % 100, local.tm_min % 100, local.tm_sec % 100);
        last_second = record->when.tv_sec;
    }
    text_out out = {line, size, 0};
    line[0] = '\0';
    put(&out, clock);
    put_decimal(&out, (unsigned long)record->when.tv_usec % 1000000, 6);
    put(&out, " ", 1);
    const uint32_t address = ntohl(record->sender.s_addr);
    for (int shift = 24; shift >= 0; shift -= 8) {
        put_decimal(&out, address >> shift & 0xFF);
        put(&out, shift ? "." : ":", 1);
    }
    put_decimal(&out, record->sender_port);
    put(&out, " -> ");
    put_decimal(&out, record->port);
    put(&out, " ", 1);
    put_words(&out, record, hex);
    return out.used;
}
