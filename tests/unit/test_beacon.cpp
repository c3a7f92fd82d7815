// SPDX-License-Identifier: GPL-2.0-or-later
#include "argv.h"
#include "beacon.h"
#include "broadcast.h"
#include "capture.h"
#include "udp_listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <regex>

namespace {

struct Parsed {
    beacon_context ctx = {};
    char address[DEST_TEXT_SIZE] = {}, iface[DEST_TEXT_SIZE] = {};
    int status;
    std::string err;
    explicit Parsed(std::initializer_list<std::string> words)
    {
        ctx.background = 1;
        ctx.interval = BEACON_DEFAULT_INTERVAL;
        ctx.destination.sin_port = htons(BEACON_DEFAULT_PORT);
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_beacon_options(args.argc(), args.argv(), &ctx, address, iface);
        err = capture.text();
    }
};

const char *const usage_text =
    "\nUsage: event-beacon -vf [-b <bcast_addr/int>][-i <sec>][-p <port>]\n"
    "   Version 1.0\n\n"
    "         -b <bcast_addr/int> broadcast address or interface - default 255.255.255.255/br-lan\n"
    "         -i <interval in sec>   using timer in sec / 0 -> only once - default 12\n"
    "         -p <port>           destination port of the server - default 15731\n"
    "         -f                  run in foreground (for debugging)\n"
    "         -v                  be verbose\n\n";

TEST(BeaconOptions, UsageForHelpUnknownAndMissingArgument)
{
    for (auto words : {std::initializer_list<std::string>{"./event-beacon", "-h"},
                       std::initializer_list<std::string>{"event-beacon", "-?"},
                       std::initializer_list<std::string>{"event-beacon", "-m", "3"},
                       std::initializer_list<std::string>{"event-beacon", "-i"}}) {
        Parsed p(words);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, usage_text);
    }
}

TEST(BeaconOptions, IntervalPortAndFlags)
{
    Parsed p({"b", "-i", "5", "-p", "80000", "-f", "-v", "-b", "eth0"});
    EXPECT_EQ(p.status, -1);
    EXPECT_EQ(p.ctx.interval, 5);
    EXPECT_EQ(ntohs(p.ctx.destination.sin_port), 14464);
    EXPECT_EQ(p.ctx.background, 0u);
    EXPECT_EQ(p.ctx.verbose, 1u);
    EXPECT_STREQ(p.iface, "eth0");
    EXPECT_EQ(Parsed({"b", "-i", "soon"}).ctx.interval, 0);  // not a number: send once
}

TEST(BeaconOptions, NegativeIntervalIsRefused)
{
    Parsed p({"event-beacon", "-i", "-1"});
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, usage_text);
}

TEST(BeaconOptions, BcastArgumentOfFortyCharactersIsRefused)
{
    EXPECT_EQ(Parsed({"b", "-b", std::string(39, 'x')}).status, -1);
    Parsed p({"b", "-b", std::string(40, 'x')});
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, "UDP broadcast address or interface error: " + std::string(40, 'x') + "\n");
}

TEST(BeaconEvent, SendsTheFixedFrameAndTracesItInTheForeground)
{
    UdpListener listener;
    beacon_context ctx = {};
    ctx.destination = listener.address();
    ctx.socket = socket(AF_INET, SOCK_DGRAM, 0);
    ctx.background = 0;
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(0, create_event(&ctx));
    EXPECT_EQ(0, create_event(&ctx));
    std::string text = out.text();
    auto got = listener.datagrams();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (std::vector<uint8_t>{0, 0x30, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(got[1], got[0]);
    std::regex line("[0-9:.]{15}          UDP->  0x00300300   \\[0\\]\\(00 00 00 00 00 00 00 00\\)\n");
    EXPECT_TRUE(std::regex_match(text.substr(0, text.size() / 2), line)) << text;

    ctx.destination.sin_port = 0;
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, create_event(&ctx));
    EXPECT_EQ(err.text(), "create_event: error sending UDP data: Invalid argument\n");
    close(ctx.socket);
}

}  // namespace
