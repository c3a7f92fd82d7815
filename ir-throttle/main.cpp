// SPDX-License-Identifier: GPL-2.0-or-later
// ir-throttle: drives one loco (speed, direction, functions 0-9) and the layout's start/stop
// from an infrared remote's input events; runs until the input device cannot be read.
#include "throttle.h"

#include "canudp.h"
#include "cansocket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

// A CAN link that went down and up again leaves its error pending on the socket, which this
// program never reads: the next write would return that old error instead of sending, and the
// frame of a key pressed with the link up again would be lost. Whether the link is up now, the
// write itself tells.
static void clear_pending_error(int fd)
{
    int error = 0;
    socklen_t length = sizeof(error);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
}

int main(int argc, char **argv)
{
    static throttle_settings settings;
    static throttle_state st;
    static uint8_t buffer[THROTTLE_READ_SIZE];
    throttle_defaults(&settings);
    // Each key's line as it happens, also when stdout is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    trace_skip_null_output();

    int status = parse_throttle_options(argc, argv, &settings);
    if (status >= 0)
        return status;

    int can_socket = open_can_socket(settings.interface, "error creating CAN socket: %s\n",
                                     "setup CAN socket error: %s\n",
                                     "error binding CAN socket: %s\n");
    if (can_socket < 0)
        return 1;

    int device = open(settings.device, O_RDONLY);
    if (device < 0) {
        fprintf(stderr, "error opening IR device: %s\n", strerror(errno));
        return 1;
    }

    throttle_start(&settings, &st);

    for (;;) {
        ssize_t n = read(device, buffer, sizeof(buffer));
        // Less than one whole record: end of file, the device gone, or a short read.
        if (n < (ssize_t)sizeof(struct input_event)) {
            fprintf(stderr, "error reading IR device: %s\n", strerror(errno));
            return 1;
        }
        clear_pending_error(can_socket);
        handle_input(buffer, (size_t)n, &st, can_socket);
    }
}
