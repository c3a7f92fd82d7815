// SPDX-License-Identifier: GPL-2.0-or-later
#include "slcan_adapter.h"

#include "cantext.h"

#include <cstdio>
#include <cstring>

static const unsigned BITRATES[] = {10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000,
                                    1000000};

// Reads `digits` hex digits at text; false on anything else.
static bool read_hex(const char *text, int digits, uint32_t *value)
{
    *value = 0;
    for (int i = 0; i < digits; i++) {
        int v = hex_value(text[i]);
        if (v < 0)
            return false;
        *value = *value << 4 | (uint32_t)v;
    }
    return true;
}

// t, T, r or R: the frame in text, exactly as long as its length digit says.
static bool parse_frame(const char *text, size_t length, SlcanFrame *frame)
{
    *frame = SlcanFrame();
    frame->extended = text[0] == 'T' || text[0] == 'R';
    frame->remote = text[0] == 'r' || text[0] == 'R';
    const int id_digits = frame->extended ? 8 : 3;
    if (length < (size_t)id_digits + 2 || !read_hex(text + 1, id_digits, &frame->id))
        return false;
    if (frame->id > (frame->extended ? 0x1FFFFFFFu : 0x7FFu))
        return false;
    const char len = text[1 + id_digits];
    if (len < '0' || len > '8')
        return false;
    frame->len = (uint8_t)(len - '0');
    const size_t data_digits = frame->remote ? 0 : 2u * frame->len;
    if (length != (size_t)id_digits + 2 + data_digits)
        return false;
    for (size_t i = 0; i < data_digits / 2; i++) {
        uint32_t byte;
        if (!read_hex(text + id_digits + 2 + 2 * i, 2, &byte))
            return false;
        frame->data[i] = (uint8_t)byte;
    }
    return true;
}

static bool refuse(SlcanCommand *command, const char *why)
{
    command->answer = "\a";
    command->what = why;
    command->refused = true;
    return true;
}

static bool done(SlcanCommand *command, const char *answer, const char *what)
{
    command->answer = answer;
    command->what = what;
    return true;
}

// One whole command.
static bool run(SlcanAdapter *a, SlcanCommand *command)
{
    const char *text = command->text;
    const size_t length = strlen(text);
    switch (text[0]) {
    case 'S':
        if (length != 2 || text[1] < '0' || text[1] > '8')
            return refuse(command, "no such bit rate (S0 to S8)");
        if (a->open)
            return refuse(command, "the channel is open");
        a->bitrate = BITRATES[text[1] - '0'];
        return done(command, "\r", "bit rate set");
    case 's':
        return refuse(command, "no bit timing registers: S0 to S8 only");
    case 'O':
    case 'L':
        if (length != 1)
            return refuse(command, "unknown command");
        if (a->open)
            return refuse(command, "the channel is already open");
        if (!a->bitrate)
            return refuse(command, "no bit rate set");
        a->open = true;
        a->listen_only = text[0] == 'L';
        return done(command, "\r", a->listen_only ? "open, listening only" : "open");
    case 'C':
        if (length != 1)
            return refuse(command, "unknown command");
        if (!a->open)
            return refuse(command, "the channel is not open");
        a->open = a->listen_only = false;
        return done(command, "\r", "closed");
    case 't':
    case 'T':
    case 'r':
    case 'R':
        if (!parse_frame(text, length, &command->out))
            return refuse(command, "not a frame");
        if (!a->open)
            return refuse(command, "the channel is not open");
        if (a->listen_only)
            return refuse(command, "listening only");
        command->frame = true;
        return done(command, command->out.extended ? "Z\r" : "z\r", "on the bus");
    default:
        return refuse(command, "unknown command");
    }
}

bool slcan_take(SlcanAdapter *a, char byte, SlcanCommand *command)
{
    if (byte == '\n')
        return false;
    if (byte != '\r') {
        if (a->length < SLCAN_LINE_MAX)
            a->line[a->length++] = byte;
        else
            a->overlong = true;
        return false;
    }
    const bool overlong = a->overlong;
    const size_t length = a->length;
    a->length = 0;
    a->overlong = false;
    if (length == 0 && !overlong)
        return false;
    *command = SlcanCommand();
    memcpy(command->text, a->line, length);
    command->text[length] = '\0';
    // A NUL would hide the rest of the command from the checks below.
    if (overlong || strlen(command->text) != length)
        return refuse(command, overlong ? "longer than any command" : "unknown command");
    return run(a, command);
}

bool slcan_deliver(const SlcanAdapter &a, unsigned bitrate, const SlcanFrame &f, char *text,
                   size_t size)
{
    if (!a.open || a.bitrate != bitrate || size < SLCAN_LINE_MAX)
        return false;
    int n = f.extended ? snprintf(text, size, "%c%08X%u", f.remote ? 'R' : 'T', (unsigned)f.id, f.len)
                       : snprintf(text, size, "%c%03X%u", f.remote ? 'r' : 't', (unsigned)f.id, f.len);
    for (unsigned i = 0; !f.remote && i < f.len; i++)
        n += snprintf(text + n, size - (size_t)n, "%02X", f.data[i]);
    snprintf(text + n, size - (size_t)n, "\r");
    return true;
}

void slcan_frame_text(const SlcanFrame &f, char *text, size_t size)
{
    int n = snprintf(text, size, f.extended ? "%08X#" : "%03X#", (unsigned)f.id);
    if (f.remote) {
        if (f.len)
            snprintf(text + n, size - (size_t)n, "R%u", f.len);
        else
            snprintf(text + n, size - (size_t)n, "R");
        return;
    }
    for (unsigned i = 0; i < f.len && (size_t)n < size; i++)
        n += snprintf(text + n, size - (size_t)n, "%02X", f.data[i]);
}
