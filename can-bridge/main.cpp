// SPDX-License-Identifier: GPL-2.0-or-later
// can-bridge: forwards extended CAN frames to a UDP destination and 13-byte datagrams from its
// UDP port to CAN, until killed.
#include "bridge.h"

#include "canudp.h"
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    // Before anything is opened: a closed standard stream would hand its number to a socket.
    if (open_standard_streams() < 0)
        return 1;
    static bridge_context ctx;  // zero-filled: the frame buffer and the kernel frame
    bridge_settings settings;
    bridge_defaults(&settings);
    // One trace line per frame as it happens, also when stdout is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    trace_skip_null_output();

    int status = parse_bridge_options(argc, argv, &settings);
    if (status >= 0)
        return status;

    if (open_bridge_sockets(&settings, &ctx) < 0)
        return 1;

    if (!settings.foreground && daemon(0, 0) < 0) {
        fprintf(stderr, "Going into background failed: %s\n", strerror(errno));
        return 1;
    }

    // Both sockets are open: a datagram sent from now on is forwarded.
    notify_ready();
    run_bridge(&ctx);
}
