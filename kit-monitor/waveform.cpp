// SPDX-License-Identifier: GPL-2.0-or-later
#include "waveform.h"

#include "tally.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

// File-scope: one waveform file for the whole run.
static int fd = -1;
static const char *name;
static struct timeval start;
static off_t slots_at, end_at;  // where the first wire's slot is; the end of the file
static long long last_time = -1;
static int wire_count;
static uint16_t wires[WAVEFORM_MAX_WIRES];  // the contacts with a wire, in slot order
static bool full_said;
static capture_tally *lost = &tally.captures[CAPTURE_WAVEFORM];

// A contact number in VCD identifier characters, '!' to '~' (base 94).
static void put_id(unsigned contact, char *id)
{
    int n = 0;
    do {
        id[n++] = (char)('!' + contact % 94);
        contact /= 94;
    } while (contact);
    id[n] = '\0';
}

size_t format_waveform_wire(unsigned contact, char *line, size_t size)
{
    char id[4];
    put_id(contact, id);
    int n = snprintf(line, size, "$var wire 1 %s m%u_c%u $end", id, (contact - 1) / 16 + 1,
                     (contact - 1) % 16 + 1);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

// The whole of it at at; the rest of a write cut short tells why it was (errno).
static bool write_at(const void *data, size_t len, off_t at)
{
    for (size_t done = 0; done < len;) {
        ssize_t n = pwrite(fd, (const char *)data + done, len - done, at + (off_t)done);
        if (n > 0)
            done += (size_t)n;
        else if (n == 0 || errno != EINTR) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
    }
    return true;
}

// The file keeps what was written whole: a change cut short at its end goes again.
static void give_up()
{
    snprintf(lost->why, sizeof(lost->why), "%s", strerror(errno));
    fprintf(stderr, "cannot write %s: %s; it gets no more frames\n", name, lost->why);
    if (ftruncate(fd, end_at) < 0)
        fprintf(stderr, "cannot write %s: %s\n", name, strerror(errno));
    close(fd);
    fd = -1;
}

static int open_waveform(const char *path, const struct timeval *when)
{
    name = path;
    lost->name = path;
    start = *when;
    fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "cannot write %s: %s\n", path, strerror(errno));
        return -1;
    }
    char date[64];
    time_t seconds = when->tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S %z", &local);
    char head[512];
    int n = snprintf(head, sizeof(head),
                     "$date %s $end\n$version kit-monitor $end\n"
                     "$comment S88 contacts by module and contact (m2_c1: contact 17), 1 occupied; "
                     "time 0 is the start of kit-monitor $end\n"
                     "$timescale 1 us $end\n$scope module s88 $end\n", date);
    // Every slot is written now, blank: filling one later never needs more disk.
    static char header[sizeof(head) + WAVEFORM_MAX_WIRES * WAVEFORM_SLOT_SIZE + 64];
    memcpy(header, head, (size_t)n);
    slots_at = n;
    memset(header + n, ' ', WAVEFORM_MAX_WIRES * WAVEFORM_SLOT_SIZE);
    for (int i = 1; i <= WAVEFORM_MAX_WIRES; i++)
        header[n + i * WAVEFORM_SLOT_SIZE - 1] = '\n';
    size_t len = (size_t)n + WAVEFORM_MAX_WIRES * WAVEFORM_SLOT_SIZE;
    const char *tail = "$upscope $end\n$enddefinitions $end\n";
    memcpy(header + len, tail, strlen(tail));
    len += strlen(tail);
    if (!write_at(header, len, 0)) {
        fprintf(stderr, "cannot write %s: %s\n", path, strerror(errno));
        close(fd);
        fd = -1;
        return -1;
    }
    end_at = (off_t)len;
    return 0;
}

// The slot of a contact's wire, filled in if it is new; -1 when every slot is taken.
static int wire_of(unsigned contact)
{
    for (int i = 0; i < wire_count; i++)
        if (wires[i] == contact)
            return i;
    if (wire_count == WAVEFORM_MAX_WIRES) {
        if (!full_said)
            fprintf(stderr, "%s holds %d contacts: contact %u and other new ones are left out\n",
                    name, WAVEFORM_MAX_WIRES, contact);
        full_said = true;
        snprintf(lost->why, sizeof(lost->why), "it holds %d contacts", WAVEFORM_MAX_WIRES);
        return -1;
    }
    char line[WAVEFORM_SLOT_SIZE];
    size_t len = format_waveform_wire(contact, line, sizeof(line));
    if (!write_at(line, len, slots_at + (off_t)(wire_count * WAVEFORM_SLOT_SIZE))) {
        give_up();
        return -1;
    }
    wires[wire_count] = (uint16_t)contact;
    return wire_count++;
}

static long long time_of(const struct timeval *when)
{
    long long t = (long long)(when->tv_sec - start.tv_sec) * 1000000 + (when->tv_usec - start.tv_usec);
    return t < last_time ? last_time : t;  // the clock was set back: keep the dump in order
}

static void take(const monitor_record *record)
{
    unsigned contact = record->values[S88_CONTACT], state = record->values[S88_NEW];
    if (record->kind != KIND_S88_EVENT || contact == 0)
        return;  // contact 0: a number that wrapped past 65535, on no module
    int wire = fd < 0 ? -1 : wire_of(contact);
    if (fd < 0) {  // the file stopped taking events
        lost->not_captured++;
        return;
    }
    if (wire < 0) {  // every slot taken: left out, said once
        lost->not_captured++;
        return;
    }
    long long t = time_of(&record->when);
    char id[4], change[64];
    put_id(contact, id);
    int n = t == last_time ? snprintf(change, sizeof(change), "%u%s\n", state, id)
                           : snprintf(change, sizeof(change), "#%lld\n%u%s\n", t, state, id);
    if (!write_at(change, (size_t)n, end_at)) {
        give_up();
        lost->not_captured++;
        return;
    }
    end_at += n;
    last_time = t;
}

// The end of the run, as a last time stamp: readers draw the last change up to it.
static void end(double)
{
    if (fd < 0)
        return;
    struct timeval when;
    gettimeofday(&when, nullptr);
    char stamp[32];
    long long t = time_of(&when);
    int n = snprintf(stamp, sizeof(stamp), "#%lld\n", t > last_time ? t : last_time + 1);
    if (!write_at(stamp, (size_t)n, end_at))
        give_up();
    else
        close(fd);
    fd = -1;
}

const monitor_output *waveform_output(const char *path, const struct timeval *when)
{
    static const monitor_output output = {take, nullptr, nullptr, nullptr, nullptr, end};
    return open_waveform(path, when) < 0 ? nullptr : &output;
}
