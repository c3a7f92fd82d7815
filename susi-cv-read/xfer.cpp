// SPDX-License-Identifier: GPL-2.0-or-later
#include "susi.h"

#include <sys/ioctl.h>

int susi_xfer(int fd, susi_request *request)
{
    return ioctl(fd, SUSI_GPIO_XFER, request);
}
