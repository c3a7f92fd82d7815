// SPDX-License-Identifier: GPL-2.0-or-later
#include "argv.h"
#include "bridge.h"
#include "capture.h"
#include "udp_listener.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Parsed {
    bridge_settings settings;
    int status;
    std::string err;
    explicit Parsed(std::initializer_list<std::string> words)
    {
        bridge_defaults(&settings);
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_bridge_options(args.argc(), args.argv(), &settings);
        err = capture.text();
    }
    std::string destination() const
    {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &settings.destination.sin_addr, text, sizeof(text));
        return text;
    }
};

const char *const usage_text =
    "\nUsage: can-bridge -l <port> -d <port> -i <can interface>\n"
    "   Version 1.01\n\n"
    "         -l <port>           listening UDP port for the server - default 7654\n"
    "         -d <port>           destination UDP port for the server - default 7655\n"
    "         -b <broadcast_addr> broadcast address - default 255.255.255.255\n"
    "         -i <can int>        can interface - default can0\n"
    "         -f                  running in foreground\n\n";

TEST(BridgeOptions, UsageForHelpUnknownAndMissingArgument)
{
    for (auto words : {std::initializer_list<std::string>{"/usr/sbin/can-bridge", "-h"},
                       std::initializer_list<std::string>{"can-bridge", "-?"},
                       std::initializer_list<std::string>{"can-bridge", "-x"},
                       std::initializer_list<std::string>{"can-bridge", "-l"}}) {
        Parsed p(words);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, usage_text);
    }
}

TEST(BridgeOptions, DefaultsAndEveryOption)
{
    Parsed d({"can-bridge"});
    EXPECT_EQ(d.status, -1);
    EXPECT_EQ(d.settings.listen_port, 7654);
    EXPECT_EQ(ntohs(d.settings.destination.sin_port), 7655);
    EXPECT_EQ(d.destination(), "255.255.255.255");
    EXPECT_STREQ(d.settings.interface, "can0");
    EXPECT_EQ(d.settings.foreground, 0);

    Parsed p({"can-bridge", "-l", "70000", "-d", "15731", "-b", "10.0.0.7", "-i", "vcan0", "-f"});
    EXPECT_EQ(p.status, -1);
    EXPECT_EQ(p.settings.listen_port, 4464);  // low 16 bits
    EXPECT_EQ(ntohs(p.settings.destination.sin_port), 15731);
    EXPECT_EQ(p.destination(), "10.0.0.7");  // not a broadcast address, still taken
    EXPECT_STREQ(p.settings.interface, "vcan0");
    EXPECT_EQ(p.settings.foreground, 1);

    EXPECT_EQ(Parsed({"can-bridge", "-l", "port"}).settings.listen_port, 0);
    EXPECT_EQ(Parsed({"can-bridge", "-l", "1", "-l", "2"}).settings.listen_port, 2);
    // getopt stops at the first operand; what follows is ignored.
    EXPECT_EQ(Parsed({"can-bridge", "stray", "-f"}).settings.foreground, 0);
}

TEST(BridgeOptions, InterfaceNameIsCutToFifteenCharacters)
{
    Parsed p({"can-bridge", "-i", "abcdefghijklmnopqrst"});
    EXPECT_STREQ(p.settings.interface, "abcdefghijklmno");
}

TEST(BridgeOptions, AddressThatIsNotDottedIpv4EndsWithStatusOne)
{
    for (const char *bad : {"1.2.3", "localhost", "::1", ""}) {
        Parsed p({"can-bridge", "-b", bad});
        EXPECT_EQ(p.status, 1);
        EXPECT_EQ(p.err, std::string("invalid IP address: ") + bad + "\n");
    }
}

// A socketpair stands in for the CAN socket: what the bridge writes is read back whole.
struct FakeCan {
    int sv[2];
    FakeCan() { socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv); }
    ~FakeCan()
    {
        close(sv[0]);
        close(sv[1]);
    }
    int bridge_end() const { return sv[0]; }
    // Every frame written so far.
    std::vector<struct can_frame> written()
    {
        std::vector<struct can_frame> all;
        struct can_frame f;
        while (recv(sv[1], &f, sizeof(f), MSG_DONTWAIT) == (ssize_t)sizeof(f))
            all.push_back(f);
        return all;
    }
};

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> list) { return list; }

TEST(ForwardDatagram, ThirteenBytesBecomeExtendedFrameWithFlagsStripped)
{
    FakeCan can;
    auto d = bytes({0xE0, 0x12, 0x34, 0x56, 2, 0x11, 0x22, 3, 4, 5, 6, 7, 8});
    CaptureFd out(STDOUT_FILENO);
    forward_datagram(d.data(), d.size(), can.bridge_end(), 1);
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00123456   [2] 11 22\n");
    auto got = can.written();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].can_id, 0x80123456u);
    EXPECT_EQ(got[0].can_dlc, 2);
    EXPECT_EQ(0, memcmp(got[0].data, d.data() + 5, 8));  // all 8 data bytes go along
}

TEST(ForwardDatagram, NoTraceInTheBackground)
{
    FakeCan can;
    auto d = bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    CaptureFd out(STDOUT_FILENO);
    forward_datagram(d.data(), d.size(), can.bridge_end(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(can.written().size(), 1u);
}

TEST(ForwardDatagram, OtherLengthsAreReportedAndDropped)
{
    FakeCan can;
    std::vector<uint8_t> buf(BRIDGE_BUFFER_SIZE, 0);
    for (size_t len : {0, 12, 14, 4096}) {
        CaptureFd out(STDOUT_FILENO), err(STDERR_FILENO);
        forward_datagram(buf.data(), len, can.bridge_end(), 1);
        EXPECT_EQ(err.text(), "UDP packet size error: got " + std::to_string(len) + " bytes\n");
        EXPECT_EQ(out.text(), "");
    }
    EXPECT_TRUE(can.written().empty());
}

TEST(ForwardDatagram, RefusedWriteIsReportedAndStillTracedWithAtMostEightBytes)
{
    auto d = bytes({0, 0, 0, 0x42, 9, 1, 2, 3, 4, 5, 6, 7, 8});
    CaptureFd out(STDOUT_FILENO), err(STDERR_FILENO);
    forward_datagram(d.data(), d.size(), -1, 1);
    EXPECT_EQ(err.text(), "CAN write error: Bad file descriptor\n");
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00000042   [9] 01 02 03 04 05 06 07 08\n");
}

struct UdpOut {
    UdpListener listener;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ~UdpOut() { close(fd); }
};

struct can_frame frame_of(canid_t id, std::initializer_list<uint8_t> data)
{
    struct can_frame f;
    memset(&f, 0, sizeof(f));
    f.can_id = id;
    f.can_dlc = (uint8_t)data.size();
    if (data.size())  // an empty list has no storage: memcpy from null is undefined
        memcpy(f.data, data.begin(), data.size());
    return f;
}

TEST(ForwardCanFrame, ExtendedFrameBecomesThirteenByteDatagram)
{
    UdpOut udp;
    uint8_t buf[BRIDGE_BUFFER_SIZE] = {};
    auto f = frame_of(CAN_EFF_FLAG | 0x00123456, {0xAB, 0xCD});
    CaptureFd out(STDOUT_FILENO);
    forward_can_frame(&f, buf, udp.fd, &udp.listener.address(), 1);
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00123456   [2] ab cd\n");
    auto got = udp.listener.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], bytes({0x00, 0x12, 0x34, 0x56, 2, 0xAB, 0xCD, 0, 0, 0, 0, 0, 0}));
}

TEST(ForwardCanFrame, RemoteRequestIsForwardedAsOrdinaryFrameWithItsLength)
{
    UdpOut udp;
    uint8_t buf[BRIDGE_BUFFER_SIZE] = {};
    auto f = frame_of(CAN_EFF_FLAG | CAN_RTR_FLAG | 0x1FFFFFFF, {});
    f.can_dlc = 4;
    forward_can_frame(&f, buf, udp.fd, &udp.listener.address(), 0);
    auto got = udp.listener.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], bytes({0x1F, 0xFF, 0xFF, 0xFF, 4, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ForwardCanFrame, StandardFrameIsDroppedSilently)
{
    UdpOut udp;
    uint8_t buf[BRIDGE_BUFFER_SIZE] = {};
    auto f = frame_of(0x123, {1, 2});
    CaptureFd out(STDOUT_FILENO), err(STDERR_FILENO);
    forward_can_frame(&f, buf, udp.fd, &udp.listener.address(), 1);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(udp.listener.datagrams().empty());
}

TEST(ForwardCanFrame, UnwrittenDataBytesKeepWhatTheBufferHeld)
{
    UdpOut udp;
    uint8_t buf[BRIDGE_BUFFER_SIZE] = {};
    FakeCan can;
    auto d = bytes({0, 0, 0, 1, 8, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7});
    memcpy(buf, d.data(), d.size());  // a datagram came in through the same buffer
    forward_datagram(buf, d.size(), can.bridge_end(), 0);
    auto f = frame_of(CAN_EFF_FLAG | 2, {0x11, 0x22});
    forward_can_frame(&f, buf, udp.fd, &udp.listener.address(), 0);
    auto got = udp.listener.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], bytes({0, 0, 0, 2, 2, 0x11, 0x22, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
}

TEST(ForwardCanFrame, FailedSendIsReportedAndStillTraced)
{
    uint8_t buf[BRIDGE_BUFFER_SIZE] = {};
    struct sockaddr_in nowhere = {};
    auto f = frame_of(CAN_EFF_FLAG | 0x00123456, {0x01});
    CaptureFd out(STDOUT_FILENO), err(STDERR_FILENO);
    forward_can_frame(&f, buf, -1, &nowhere, 1);
    EXPECT_EQ(err.text(), "UDP write error: Bad file descriptor\n");
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00123456   [1] 01\n");
}

// The whole context with real sockets: a UDP receive socket on loopback, a fake CAN socket.
struct Bridge {
    static bridge_context ctx;  // 4 KiB buffer: not on the stack
    FakeCan can;
    UdpOut out;
    int peer;  // the CAN side's far end, where frames "arrive from the bus"
    struct sockaddr_in listening = {};
    Bridge()
    {
        memset(&ctx, 0, sizeof(ctx));
        ctx.udp_socket = socket(AF_INET, SOCK_DGRAM, 0);
        listening.sin_family = AF_INET;
        listening.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(ctx.udp_socket, (struct sockaddr *)&listening, sizeof(listening));
        socklen_t len = sizeof(listening);
        getsockname(ctx.udp_socket, (struct sockaddr *)&listening, &len);
        ctx.can_socket = can.bridge_end();
        peer = can.sv[1];
        ctx.send_socket = out.fd;
        ctx.destination = out.listener.address();
    }
    ~Bridge() { close(ctx.udp_socket); }
    void send_datagram(const std::vector<uint8_t> &d)
    {
        sendto(out.fd, d.data(), d.size(), 0, (struct sockaddr *)&listening, sizeof(listening));
    }
};
bridge_context Bridge::ctx;

TEST(ServeSockets, DatagramLongerThanTheBufferIsCutAndRefused)
{
    Bridge b;
    b.send_datagram(std::vector<uint8_t>(5000, 0x55));
    CaptureFd err(STDERR_FILENO);
    serve_udp_socket(&b.ctx);
    EXPECT_EQ(err.text(), "UDP packet size error: got 4096 bytes\n");
    EXPECT_TRUE(b.can.written().empty());
}

TEST(ServeSockets, OneDatagramAndOneFrameEachWay)
{
    Bridge b;
    b.send_datagram(bytes({0, 0x23, 3, 0, 1, 0x7F, 0, 0, 0, 0, 0, 0, 0}));
    serve_udp_socket(&b.ctx);
    auto frames = b.can.written();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].can_id, 0x80230300u);

    auto f = frame_of(CAN_EFF_FLAG | 0x00300300, {});
    write(b.peer, &f, sizeof(f));
    serve_can_socket(&b.ctx);
    auto got = b.out.listener.datagrams();
    ASSERT_EQ(got.size(), 1u);
    // The datagram that passed before left its data byte in the buffer.
    EXPECT_EQ(got[0], bytes({0, 0x30, 3, 0, 0, 0x7F, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ServeSockets, ShortCanReadIsAReadError)
{
    Bridge b;
    write(b.peer, "12345678", 8);
    CaptureFd err(STDERR_FILENO);
    serve_can_socket(&b.ctx);
    EXPECT_EQ(err.text(), "CAN read error: Input/output error\n");
    EXPECT_TRUE(b.out.listener.datagrams().empty());
}

}  // namespace
