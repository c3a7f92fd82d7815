// SPDX-License-Identifier: GPL-2.0-or-later
#include "captures.h"

#include "cantext.h"
#include "stdout_queue.h"
#include "tally.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

size_t format_log_line(const uint8_t *frame, const struct timeval *when, const char *interface,
                       char *line, size_t size)
{
    CanUdpFrame f;
    memcpy(&f, frame, sizeof(f));
    char token[FRAME_TEXT_SIZE];
    format_frame_text(&f, token);
    int n = snprintf(line, size, "(%010llu.%06llu) %s %s\n", (unsigned long long)when->tv_sec,
                     (unsigned long long)when->tv_usec, interface, token);
    return n < 0 ? 0 : (size_t)n < size ? (size_t)n : size - 1;
}

static void put_le32(uint8_t *out, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        out[i] = (uint8_t)(value >> (8 * i));
}

void format_pcap_header(uint8_t *header)
{
    put_le32(header, 0xA1B2C3D4u);               // magic: microsecond time stamps
    put_le32(header + 4, 2 | 4u << 16);          // version 2.4
    put_le32(header + 8, 0);                     // time zone
    put_le32(header + 12, 0);                    // accuracy
    put_le32(header + 16, 65535);                // snap length
    put_le32(header + 20, 227);                  // LINKTYPE_CAN_SOCKETCAN
}

void format_pcap_record(const uint8_t *frame, const struct timeval *when, uint8_t *record)
{
    put_le32(record, (uint32_t)when->tv_sec);
    put_le32(record + 4, (uint32_t)when->tv_usec);
    put_le32(record + 8, 16);
    put_le32(record + 12, 16);
    uint8_t *can = record + 16;
    memset(can, 0, 16);
    can[0] = (uint8_t)(0x80 | (frame[0] & 0x1F));  // the extended flag; the top 3 id bits go
    memcpy(can + 1, frame + 1, 3);
    uint8_t dlc = frame[4];
    can[4] = dlc < 8 ? dlc : 8;
    if (dlc > 8 && dlc < 16)
        can[7] = dlc;
    memcpy(can + 8, frame + 5, can[4]);
}

// One capture file and the records of the burst not yet written: their bytes, and where each
// ends, so a write cut short by a full disk is taken back to a whole record.
constexpr int BATCH_RECORDS = 256;

struct capture {
    int fd = -1;
    capture_tally *tally;
    char bytes[BATCH_RECORDS * LOG_LINE_SIZE];
    size_t ends[BATCH_RECORDS];
    int count;
};

// File-scope: the monitor has one log and one pcap for its whole run.
static capture log_file, pcap_file;
static bool log_to_stdout;
static const char *log_interface;

static int open_capture(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fprintf(stderr, "cannot write %s: %s\n", path, strerror(errno));
    return fd;
}

// Writes the batch with one write. Cut short (a full disk, a file size limit), the file is
// taken back to the last whole record where it is a file (not a pipe), the records not written
// are counted, and the capture stops with one line saying so.
static void write_batch(capture *c)
{
    if (c->count == 0)
        return;
    const size_t length = c->ends[c->count - 1];
    size_t done = 0;
    int error = 0;
    while (done < length && !error) {  // the rest of a write cut short tells why it was
        ssize_t written = write(c->fd, c->bytes + done, length - done);
        if (written > 0)
            done += (size_t)written;
        else if (written == 0 || errno != EINTR)
            error = written == 0 ? ENOSPC : errno;
    }
    if (!error) {
        c->count = 0;
        return;
    }
    ssize_t n = (ssize_t)done;
    int whole = 0;
    while (n > 0 && whole < c->count && c->ends[whole] <= (size_t)n)
        whole++;
    size_t kept = whole ? c->ends[whole - 1] : 0;
    off_t end = n > 0 ? lseek(c->fd, 0, SEEK_CUR) : -1;  // -1 as well for a pipe
    if (n > 0 && (size_t)n > kept && end >= n && ftruncate(c->fd, end - (n - (off_t)kept)) < 0)
        error = errno;  // the file now ends in part of a record: say why
    c->tally->not_captured += (unsigned long)(c->count - whole);
    snprintf(c->tally->why, sizeof(c->tally->why), "%s", strerror(error));
    fprintf(stderr, "cannot write %s: %s; it gets no more frames\n", c->tally->name, c->tally->why);
    close(c->fd);
    c->fd = -1;
    c->count = 0;
}

static void add_record(capture *c, const void *data, size_t length)
{
    if (c->fd < 0) {
        c->tally->not_captured++;
        return;
    }
    size_t at = c->count ? c->ends[c->count - 1] : 0;
    memcpy(c->bytes + at, data, length);
    c->ends[c->count++] = at + length;
    if (c->count == BATCH_RECORDS)
        write_batch(c);
}

static void take(const monitor_record *record)
{
    if (record->length != FRAME_SIZE)
        return;  // not a frame: in no capture
    if (log_file.tally) {
        char line[LOG_LINE_SIZE];
        size_t length = format_log_line(record->bytes, &record->when, log_interface, line, sizeof(line));
        if (!log_to_stdout)
            add_record(&log_file, line, length);
        else if (!stdout_put(line, length))
            log_file.tally->not_captured++;
    }
    if (pcap_file.tally) {
        uint8_t pcap[PCAP_RECORD_SIZE];
        format_pcap_record(record->bytes, &record->when, pcap);
        add_record(&pcap_file, pcap, sizeof(pcap));
    }
}

static void flush(double)
{
    if (log_file.fd >= 0)
        write_batch(&log_file);
    if (pcap_file.fd >= 0)
        write_batch(&pcap_file);
    if (log_to_stdout)
        stdout_flush();
}

static void end(double now)
{
    flush(now);
    for (capture *c : {&log_file, &pcap_file})
        if (c->fd >= 0 && c->fd != STDOUT_FILENO)
            close(c->fd);
}

const monitor_output *captures_output(const char *log_path, const char *pcap_path, const char *interface)
{
    static const monitor_output output = {take, flush, nullptr, nullptr, nullptr, end};
    log_interface = interface;
    if (log_path) {
        log_to_stdout = strcmp(log_path, "-") == 0;
        log_file.tally = &tally.captures[CAPTURE_LOG];
        log_file.tally->name = log_to_stdout ? "standard output" : log_path;
        if (!log_to_stdout && (log_file.fd = open_capture(log_path)) < 0)
            return nullptr;
    }
    if (pcap_path) {
        pcap_file.tally = &tally.captures[CAPTURE_PCAP];
        pcap_file.tally->name = pcap_path;
        if ((pcap_file.fd = open_capture(pcap_path)) < 0)
            return nullptr;
        uint8_t header[PCAP_HEADER_SIZE];
        format_pcap_header(header);
        errno = 0;
        if (write(pcap_file.fd, header, sizeof(header)) != (ssize_t)sizeof(header)) {
            fprintf(stderr, "cannot write %s: %s\n", pcap_path, strerror(errno ? errno : ENOSPC));
            return nullptr;
        }
    }
    return &output;
}
