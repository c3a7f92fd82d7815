// SPDX-License-Identifier: GPL-2.0-or-later
// susi-cv-read: prints one CV of the SUSI decoder, read through /dev/susi-gpio.
#include "susi.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int cv = 0;
    int status = parse_susi_options(argc, argv, &cv);
    if (status >= 0)
        return status;

    int fd = open(SUSI_DEVICE, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "%s: error: open failed [%s]\n", __func__, strerror(errno));
        return 255;
    }

    int value;
    read_cv(fd, cv, &value);
    printf("CV %d = 0x%02x\n", cv, value);

    close(fd);
    return 0;
}
