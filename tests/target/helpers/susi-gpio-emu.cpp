// SPDX-License-Identifier: GPL-2.0-or-later
// susi-gpio-emu: stands in for the SUSI GPIO driver in the target VM, as a CUSE character device
// /dev/susi-gpio, with a decoder whose CVs are given on the command line. No tool emulates the
// driver or a decoder.
//
//   susi-gpio-emu [-l LOG] [CV=VALUE]...     e.g.  susi-gpio-emu -l requests.log 897=0x83
//
// It answers the driver's one request, 0xC004B565, on the record
// { count, result, command[count] }: byte 0 the number of command bytes, byte 1 the decoder's
// acknowledgement (1 or 0), the command bytes from byte 2 on. The decoder understands the CV bit
// verify command 0111 10aa, aaaaaaaa, 1110 Dbbb and acknowledges it when bit b of CV a equals D;
// CVs not in the table, and every other command, get no acknowledgement. Each request is logged,
// one line with the record's bytes as they arrived ("03 00 7b 81 e8"), to LOG or to stdout.
// Runs in the foreground until killed.
#define FUSE_USE_VERSION 31
#include <cuse_lowlevel.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/uio.h>
#include <unistd.h>

constexpr unsigned SUSI_GPIO_XFER = 0xC004B565;
constexpr unsigned MAX_COMMAND_BYTES = 8;
constexpr int CV_COUNT = 1024;

static int cv_known[CV_COUNT];
static uint8_t cv_value[CV_COUNT];
static FILE *request_log = stdout;

static uint8_t decoder_answer(const uint8_t *command, unsigned count)
{
    if (count != 3 || (command[0] & 0xFC) != 0x78 || (command[2] & 0xF0) != 0xE0)
        return 0;
    int cv = ((command[0] & 3) << 8) | command[1];
    int bit = command[2] & 7;
    int compared = (command[2] >> 3) & 1;
    return cv_known[cv] && ((cv_value[cv] >> bit) & 1) == compared;
}

static void log_record(const uint8_t *record, size_t length)
{
    for (size_t i = 0; i < length; i++)
        fprintf(request_log, i ? " %02x" : "%02x", record[i]);
    fputc('\n', request_log);
}

// CUSE ioctls are unrestricted: the kernel copies nothing until told what to fetch. The request
// number's size field (4) is not the record's length, so the record is fetched in two steps: the
// two header bytes, then as many command bytes as byte 0 counts. Only byte 1 is written back.
static void susi_ioctl(fuse_req_t req, int cmd, void *arg, struct fuse_file_info *, unsigned flags,
                       const void *in_buf, size_t in_bufsz, size_t)
{
    if ((unsigned)cmd != SUSI_GPIO_XFER || (flags & FUSE_IOCTL_COMPAT)) {
        fprintf(request_log, "request 0x%08x refused\n", (unsigned)cmd);
        fuse_reply_err(req, ENOTTY);
        return;
    }
    const uint8_t *record = (const uint8_t *)in_buf;
    size_t length = in_bufsz < 2 ? 2 : 2 + (size_t)record[0];
    if (length > 2 + MAX_COMMAND_BYTES) {
        fprintf(request_log, "count %u refused\n", record[0]);
        fuse_reply_err(req, EINVAL);
        return;
    }
    if (in_bufsz < length) {
        struct iovec in = {arg, length};
        struct iovec out = {(uint8_t *)arg + 1, 1};
        fuse_reply_ioctl_retry(req, &in, 1, &out, 1);
        return;
    }
    log_record(record, length);
    uint8_t result = decoder_answer(record + 2, record[0]);
    fuse_reply_ioctl(req, 0, &result, 1);
}

static void susi_open(fuse_req_t req, struct fuse_file_info *fi)
{
    fuse_reply_open(req, fi);
}

// "897=0x83": CV 0 to 1023, value 0 to 255, numbers in C notation.
static int take_cv_argument(const char *text)
{
    char *end;
    long cv = strtol(text, &end, 0);
    if (end == text || *end != '=' || cv < 0 || cv >= CV_COUNT)
        return -1;
    const char *value_text = end + 1;
    long value = strtol(value_text, &end, 0);
    if (end == value_text || *end || value < 0 || value > 255)
        return -1;
    cv_known[cv] = 1;
    cv_value[cv] = (uint8_t)value;
    return 0;
}

int main(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "l:h")) != -1) {
        switch (opt) {
        case 'l':
            request_log = fopen(optarg, "a");
            if (!request_log) {
                fprintf(stderr, "susi-gpio-emu: %s: %s\n", optarg, strerror(errno));
                return 1;
            }
            break;
        default:
            fputs("Usage: susi-gpio-emu [-l LOG] [CV=VALUE]...\n", stderr);
            return opt == 'h' ? 0 : 1;
        }
    }
    for (int i = optind; i < argc; i++) {
        if (take_cv_argument(argv[i]) < 0) {
            fprintf(stderr, "susi-gpio-emu: not CV=VALUE: %s\n", argv[i]);
            return 1;
        }
    }
    setvbuf(request_log, nullptr, _IOLBF, 0);  // tests read the log while the device runs

    const char *dev_info[] = {"DEVNAME=susi-gpio"};
    struct cuse_info info = {};
    info.dev_info_argc = 1;
    info.dev_info_argv = dev_info;
    info.flags = CUSE_UNRESTRICTED_IOCTL;
    struct cuse_lowlevel_ops ops = {};
    ops.open = susi_open;
    ops.ioctl = susi_ioctl;

    // Foreground and single-threaded: the test that starts it keeps its pid and kills it.
    char fuse_arg0[] = "susi-gpio-emu", fuse_foreground[] = "-f", fuse_single[] = "-s";
    char *fuse_argv[] = {fuse_arg0, fuse_foreground, fuse_single, nullptr};
    return cuse_lowlevel_main(3, fuse_argv, &info, &ops, nullptr);
}
