// SPDX-License-Identifier: GPL-2.0-or-later
// can-bridge's datagram path, end to end from the socket: any datagram (longer ones are cut to
// the 4096-byte buffer) is either written to CAN as exactly one extended frame with the flag
// bits stripped and its 8 data bytes, traced with at most 8 of them, or refused with
// "UDP packet size error: got %d bytes\n" and nothing written. A CAN write that fails is
// reported and the frame still traced.
#include "bridge.h"
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Rig {
    int udp_in;         // the gateway's receive socket, on loopback
    int udp_out;        // sends the fuzz bytes to it
    int can[2];         // [0] is the gateway's CAN socket, frames come out of [1]
    int broken_can;     // a CAN socket whose peer is gone: every write fails
    struct sockaddr_in to;
};

Rig make_rig()
{
    signal(SIGPIPE, SIG_IGN);
    Rig r;
    r.udp_in = socket(AF_INET, SOCK_DGRAM, 0);
    r.to = {};
    r.to.sin_family = AF_INET;
    r.to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(r.to);
    int big = 1 << 20;
    setsockopt(r.udp_in, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (bind(r.udp_in, (struct sockaddr *)&r.to, sizeof(r.to)) < 0 ||
        getsockname(r.udp_in, (struct sockaddr *)&r.to, &len) < 0)
        abort();
    r.udp_out = socket(AF_INET, SOCK_DGRAM, 0);
    int gone[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, r.can) < 0 ||
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, gone) < 0)
        abort();
    close(gone[1]);
    r.broken_can = gone[0];
    return r;
}

Rig &rig()
{
    static Rig r = make_rig();
    return r;
}

// Every frame the gateway wrote since the last call, each as it arrived.
std::vector<std::string> written_frames()
{
    std::vector<std::string> frames;
    char buf[64];
    ssize_t n;
    while ((n = recv(rig().can[1], buf, sizeof(buf), MSG_DONTWAIT)) >= 0)
        frames.emplace_back(buf, (size_t)n);
    return frames;
}

std::string trace_line(uint32_t id, uint8_t dlc, const uint8_t *data)
{
    char line[128];
    int n = snprintf(line, sizeof(line), "->CAN>UDP CANID 0x%08X   [%d]", id, dlc);
    for (int i = 0; i < dlc && i < 8; i++)
        n += snprintf(line + n, sizeof(line) - (size_t)n, " %02x", data[i]);
    return std::string(line, (size_t)n) + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Rig &r = rig();
    if (sendto(r.udp_out, data, size, 0, (struct sockaddr *)&r.to, sizeof(r.to)) != (ssize_t)size)
        abort();

    // The whole context on the heap, as one block: reading or writing past it is an ASan finding.
    bridge_context *ctx = (bridge_context *)calloc(1, sizeof(bridge_context));
    ctx->udp_socket = r.udp_in;
    ctx->can_socket = r.can[0];
    ctx->send_socket = -1;
    ctx->foreground = 1;

    Capture out(stdout), err(stderr);
    serve_udp_socket(ctx);
    std::string trace = out.text(), errors = err.text();
    std::vector<std::string> frames = written_frames();

    size_t len = size < BRIDGE_BUFFER_SIZE ? size : BRIDGE_BUFFER_SIZE;
    if (len != 13) {
        FUZZ_CHECK(frames.empty(), "%zu bytes: %zu frames written", size, frames.size());
        FUZZ_CHECK(trace.empty(), "%zu bytes traced: %s", size, trace.c_str());
        FUZZ_CHECK(errors == "UDP packet size error: got " + std::to_string(len) + " bytes\n",
                   "%zu bytes: \"%s\"", size, errors.c_str());
        free(ctx);
        return 0;
    }

    uint32_t id = (uint32_t)data[0] << 24 | (uint32_t)data[1] << 16 | (uint32_t)data[2] << 8 | data[3];
    FUZZ_CHECK(frames.size() == 1, "%zu frames written for one datagram", frames.size());
    FUZZ_CHECK(frames[0].size() == sizeof(struct can_frame), "frame of %zu bytes", frames[0].size());
    struct can_frame frame;
    memcpy(&frame, frames[0].data(), sizeof(frame));
    FUZZ_CHECK(frame.can_id == ((id & CAN_EFF_MASK) | CAN_EFF_FLAG), "id %08x from %08x",
               frame.can_id, id);
    FUZZ_CHECK(frame.can_dlc == data[4], "length %u from %u", frame.can_dlc, data[4]);
    FUZZ_CHECK(memcmp(frame.data, data + 5, 8) == 0, "data bytes differ");
    FUZZ_CHECK(frame.__pad == 0 && frame.__res0 == 0 && frame.len8_dlc == 0, "reserved bytes set");
    FUZZ_CHECK(errors.empty(), "a good datagram printed \"%s\"", errors.c_str());
    std::string line = trace_line(id & CAN_EFF_MASK, data[4], data + 5);
    FUZZ_CHECK(trace == line, "trace \"%s\", not \"%s\"", trace.c_str(), line.c_str());

    // The same datagram when the CAN write fails: reported, and traced all the same.
    Capture out2(stdout), err2(stderr);
    forward_datagram(data, size, r.broken_can, 1);
    std::string trace2 = out2.text(), errors2 = err2.text();
    FUZZ_CHECK(errors2 == "CAN write error: Broken pipe\n", "failed write: \"%s\"", errors2.c_str());
    FUZZ_CHECK(trace2 == line, "failed write traced \"%s\"", trace2.c_str());
    free(ctx);
    return 0;
}
