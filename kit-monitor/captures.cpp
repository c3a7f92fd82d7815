#include "captures.h"

#include "cantext.h"

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

// File-scope: the monitor has one log and one pcap for its whole run.
static int log_fd = -1, pcap_fd = -1;
static bool lost_frames;
static const char *log_name, *pcap_name, *log_interface;

static int open_capture(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fprintf(stderr, "cannot write %s: %s\n", path, strerror(errno));
    return fd;
}

// One write per record: a partial one (disk full) counts as failed, and is taken back where the
// descriptor is a file, so that readers find whole records up to the end.
static bool write_all(int fd, const void *data, size_t len)
{
    ssize_t n = write(fd, data, len);
    if (n >= 0 && (size_t)n == len)
        return true;
    int error = n < 0 ? errno : ENOSPC;
    off_t end = n > 0 ? lseek(fd, 0, SEEK_CUR) : -1;  // -1 as well for a pipe
    if (end >= n && n > 0 && ftruncate(fd, end - n) < 0)
        error = errno;  // the file now ends in part of a record: say why
    errno = error;
    return false;
}

int open_captures(const char *log_path, const char *pcap_path, const char *interface)
{
    log_interface = interface;
    if (log_path) {
        log_name = strcmp(log_path, "-") ? log_path : "standard output";
        log_fd = strcmp(log_path, "-") ? open_capture(log_path) : STDOUT_FILENO;
        if (log_fd < 0)
            return -1;
    }
    if (pcap_path) {
        pcap_name = pcap_path;
        pcap_fd = open_capture(pcap_path);
        if (pcap_fd < 0)
            return -1;
        uint8_t header[PCAP_HEADER_SIZE];
        format_pcap_header(header);
        if (!write_all(pcap_fd, header, sizeof(header))) {
            fprintf(stderr, "cannot write %s: %s\n", pcap_path, strerror(errno));
            return -1;
        }
    }
    return 0;
}

static void write_or_give_up(int *fd, const char *name, const void *data, size_t len)
{
    if (*fd < 0 || write_all(*fd, data, len))
        return;
    fprintf(stderr, "cannot write %s: %s; it gets no more frames\n", name, strerror(errno));
    *fd = -1;
    lost_frames = true;
}

void capture_frame(const uint8_t *frame, const struct timeval *when)
{
    char line[LOG_LINE_SIZE];
    if (log_fd >= 0)
        write_or_give_up(&log_fd, log_name, line,
                         format_log_line(frame, when, log_interface, line, sizeof(line)));
    uint8_t record[PCAP_RECORD_SIZE];
    format_pcap_record(frame, when, record);
    write_or_give_up(&pcap_fd, pcap_name, record, sizeof(record));
}

bool captures_lost_frames()
{
    return lost_frames;
}
