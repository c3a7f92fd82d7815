// SPDX-License-Identifier: GPL-2.0-or-later
// can-bridge's CAN side: any 16 bytes read as a kernel frame (even a length the kernel never
// hands out) give nothing for a standard frame, and for an extended one exactly one 13-byte
// datagram with the 29-bit identifier, the length byte and at most 8 data bytes, written only
// into the first 13 bytes of the frame buffer.
#include "bridge.h"
#include "fuzz_support.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Rig {
    int can[2];  // the gateway reads [0]; the fuzz frame is written into [1]
    int listener;
    int send_socket;
    struct sockaddr_in to;
};

Rig &rig()
{
    static Rig r = [] {
        Rig r;
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, r.can) < 0)
            abort();
        r.listener = socket(AF_INET, SOCK_DGRAM, 0);
        r.to = {};
        r.to.sin_family = AF_INET;
        r.to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(r.to);
        if (bind(r.listener, (struct sockaddr *)&r.to, sizeof(r.to)) < 0 ||
            getsockname(r.listener, (struct sockaddr *)&r.to, &len) < 0)
            abort();
        r.send_socket = socket(AF_INET, SOCK_DGRAM, 0);
        return r;
    }();
    return r;
}

std::vector<std::string> datagrams()
{
    std::vector<std::string> all;
    char buf[256];
    ssize_t n;
    while ((n = recv(rig().listener, buf, sizeof(buf), MSG_DONTWAIT)) >= 0)
        all.emplace_back(buf, (size_t)n);
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size != sizeof(struct can_frame))
        return 0;
    Rig &r = rig();
    if (write(r.can[1], data, size) != (ssize_t)size)
        abort();
    struct can_frame in;
    memcpy(&in, data, sizeof(in));

    bridge_context *ctx = (bridge_context *)calloc(1, sizeof(bridge_context));
    ctx->can_socket = r.can[0];
    ctx->udp_socket = -1;
    ctx->send_socket = r.send_socket;
    ctx->destination = r.to;
    ctx->foreground = 1;
    memset(ctx->buffer, 0xA5, sizeof(ctx->buffer));

    Capture out(stdout), err(stderr);
    serve_can_socket(ctx);
    std::string trace = out.text(), errors = err.text();
    std::vector<std::string> sent = datagrams();

    FUZZ_CHECK(errors.empty(), "printed \"%s\"", errors.c_str());
    for (size_t i = 13; i < sizeof(ctx->buffer); i++)
        FUZZ_CHECK(ctx->buffer[i] == 0xA5, "buffer byte %zu written (length %u)", i, in.can_dlc);
    if (!(in.can_id & CAN_EFF_FLAG)) {
        FUZZ_CHECK(sent.empty() && trace.empty(), "standard frame %08x forwarded", in.can_id);
        free(ctx);
        return 0;
    }
    FUZZ_CHECK(sent.size() == 1 && sent[0].size() == 13, "%zu datagrams", sent.size());
    const uint8_t *d = (const uint8_t *)sent[0].data();
    uint32_t id = (uint32_t)d[0] << 24 | (uint32_t)d[1] << 16 | (uint32_t)d[2] << 8 | d[3];
    FUZZ_CHECK(id == (in.can_id & CAN_EFF_MASK), "identifier %08x from %08x", id, in.can_id);
    FUZZ_CHECK(d[4] == in.can_dlc, "length byte %u from %u", d[4], in.can_dlc);
    unsigned n = in.can_dlc < 8 ? in.can_dlc : 8;
    FUZZ_CHECK(memcmp(d + 5, in.data, n) == 0, "data bytes differ");
    for (unsigned i = n; i < 8; i++)
        FUZZ_CHECK(d[5 + i] == 0xA5, "data byte %u past the length written", i);
    FUZZ_CHECK(!trace.empty() && trace.back() == '\n' && trace.find('\n') == trace.size() - 1,
               "trace \"%s\"", trace.c_str());
    free(ctx);
    return 0;
}
