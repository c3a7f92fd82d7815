// SPDX-License-Identifier: GPL-2.0-or-later
#include "argv.h"
#include "broadcast.h"
#include "capture.h"
#include "reporter.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct Parsed {
    reporter_context ctx = {};
    reporter_settings settings = {};
    char address[DEST_TEXT_SIZE] = {}, iface[DEST_TEXT_SIZE] = {};
    int status = 0;
    std::string err;

    explicit Parsed(std::initializer_list<std::string> words)
    {
        ctx.background = 1;
        ctx.destination.sin_port = htons(REPORTER_DEFAULT_PORT);
        settings.modules = 1;
        settings.microtiming = REPORTER_DEFAULT_MICROTIMING;
        settings.udp_dst_address = address;
        settings.bcast_interface = iface;
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_reporter_options(args.argc(), args.argv(), &ctx, &settings);
        err = capture.text();
    }
    ~Parsed() { free(settings.pin_config); }
    bool printed_usage() const { return err.rfind("\nUsage: ", 0) == 0 && err.find(" -vf [-b <bcast_addr/int>][-i <0|1>]") != std::string::npos; }
};

TEST(ReporterOptions, UsageTextByteForByte)
{
    Parsed p({"/usr/bin/s88-reporter", "-h"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.err,
              "\nUsage: s88-reporter -vf [-b <bcast_addr/int>][-i <0|1>][-p <port>][-m <s88modules>][-o <offset>]\n"
              "   Version 2.0\n\n"
              "         -b <bcast_addr/int> broadcast address or interface - default 255.255.255.255/br-lan\n"
              "         -c <config_string>  set GPIOs like \"PI20,PH3,PI21,PH5\"\n"
              "                              Data  PI20\n"
              "                              Clock  PH3\n"
              "                              Load  PI21\n"
              "                              Reset  PH5\n"
              "         -i [0|1]            invert signals - default 0 -> not inverting\n"
              "         -d <event id>       using event id - default 0\n"
              "         -e <hash>           using CAN <hash>\n"
              "         -m <s88modules>     number of connected S88 modules - default 1 (0 fake messages for testing)\n"
              "         -o <offset>         addressing offset - default 0\n"
              "         -p <port>           destination port of the server - default 15730\n"
              "         -s <port>           second destination port of the server\n"
              "         -t <time in usec>   microtiming in usec - default 15 usec\n"
              "         -f                  run in foreground (for debugging)\n"
              "         -v                  be verbose\n\n");
}

TEST(ReporterOptions, HelpUnknownAndMissingArgumentExitZeroWithUsage)
{
    for (auto words : {std::initializer_list<std::string>{"s88-reporter", "-?"},
                       std::initializer_list<std::string>{"s88-reporter", "-x"},
                       std::initializer_list<std::string>{"s88-reporter", "-m"}}) {
        Parsed p(words);
        EXPECT_EQ(p.status, 0);
        EXPECT_TRUE(p.printed_usage()) << p.err;
    }
}

TEST(ReporterOptions, ModuleCountZeroToThirtyTwo)
{
    EXPECT_EQ(Parsed({"r", "-m", "0"}).settings.modules, 0);
    EXPECT_EQ(Parsed({"r", "-m", "32"}).settings.modules, 32);
    for (const char *bad : {"33", "-1"}) {
        Parsed p({"r", "-m", bad});
        EXPECT_EQ(p.status, 1) << bad;
        EXPECT_TRUE(p.printed_usage()) << bad;
    }
    EXPECT_EQ(Parsed({"r", "-m", "many"}).settings.modules, 0);  // atoi: not a number is 0
}

TEST(ReporterOptions, OffsetUpTo65502NegativeAllowed)
{
    EXPECT_EQ(Parsed({"r", "-o", "65502"}).ctx.offset, 65502);
    Parsed negative({"r", "-o", "-5"});
    EXPECT_EQ(negative.status, -1);
    EXPECT_EQ(negative.ctx.offset, -5);
    Parsed p({"r", "-o", "65503"});
    EXPECT_EQ(p.status, 1);
    EXPECT_TRUE(p.printed_usage());
}

TEST(ReporterOptions, MicrotimingAtLeastTwo)
{
    EXPECT_EQ(Parsed({"r", "-t", "2"}).settings.microtiming, 2);
    Parsed one({"r", "-t", "1"});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.err, "microtiming value to low: 1\n");
    EXPECT_EQ(Parsed({"r", "-t", "fast"}).err, "microtiming value to low: 0\n");
}

TEST(ReporterOptions, NumbersKeepTheirDocumentedBits)
{
    Parsed p({"r", "-i", "3", "-p", "80000", "-e", "70000", "-d", "258", "-s", "15731", "-f", "-v"});
    EXPECT_EQ(p.status, -1);
    EXPECT_EQ(p.ctx.invert, 1u);
    EXPECT_EQ(ntohs(p.ctx.destination.sin_port), 14464);
    EXPECT_EQ(p.ctx.hash, 70000 & 0xFFFF);
    EXPECT_EQ(p.ctx.event_id, 258);
    EXPECT_EQ(p.settings.second_port, 15731u);
    EXPECT_EQ(p.ctx.background, 0u);
    EXPECT_EQ(p.ctx.verbose, 1u);
    EXPECT_EQ(Parsed({"r", "-i", "2"}).ctx.invert, 0u);
    EXPECT_EQ(Parsed({"r", "-s", "0"}).settings.second_port, 0u);
}

TEST(ReporterOptions, BcastAddressBeatsInterfaceWhateverTheOrder)
{
    Parsed p({"r", "-b", "10.0.0.255", "-b", "eth0"});
    EXPECT_STREQ(p.address, "10.0.0.255");
    EXPECT_STREQ(p.iface, "eth0");
    Parsed too_long({"r", "-b", std::string(40, '1')});
    EXPECT_EQ(too_long.status, 1);
    EXPECT_EQ(too_long.err, "UDP broadcast address or interface error: " + std::string(40, '1') + "\n");
}

TEST(ReporterOptions, LaterOptionsOverwriteEarlierOnes)
{
    Parsed p({"r", "-c", "PA1", "-c", "PB2", "-m", "3", "-m", "4"});
    EXPECT_STREQ(p.settings.pin_config, "PB2");
    EXPECT_EQ(p.settings.modules, 4);
}

struct Pins {
    int32_t pins[PIN_SLOTS] = {276, 227, 277, 229};
    int result;
    std::string err;
    explicit Pins(const char *text)
    {
        std::string copy = text;
        CaptureFd capture(STDERR_FILENO);
        result = apply_pin_config(&copy[0], pins);
        err = capture.text();
    }
    std::vector<int32_t> all() const { return {pins, pins + PIN_SLOTS}; }
};

TEST(PinConfig, TokensFillDataClockLoadResetInTurn)
{
    EXPECT_EQ(Pins("PI20,PH3,PI21,PH5").all(), (std::vector<int32_t>{276, 227, 277, 229}));
    EXPECT_EQ(Pins("pi10").all(), (std::vector<int32_t>{266, 227, 277, 229}));
    EXPECT_EQ(Pins("X1,PA5").all(), (std::vector<int32_t>{5, 227, 277, 229}));
    EXPECT_EQ(Pins("pi20 ph3").all(), (std::vector<int32_t>{276, 227, 277, 229}));
    EXPECT_EQ(Pins("PA1;;PB2:PC3!PD4").all(), (std::vector<int32_t>{1, 34, 67, 100}));
    EXPECT_EQ(Pins("PA40").all()[0], 40);  // shown as PB8
    EXPECT_EQ(Pins("PA").all()[0], 0);     // no digits read as 0
}

TEST(PinConfig, BadBankLetterIsRefusedAsTyped)
{
    Pins j("PJ3");
    EXPECT_EQ(j.result, -1);
    EXPECT_EQ(j.err, "pin definition error: PJ3\n");
    Pins bare("P");
    EXPECT_EQ(bare.result, -1);
    EXPECT_EQ(bare.err, "pin definition error: P\n");
    EXPECT_EQ(Pins("pa1,p@2").err, "pin definition error: P@2\n");
}

TEST(PinConfig, PinsBeyondPI31NeverReachTheTables)
{
    EXPECT_EQ(Pins("PI31").all()[0], 287);
    EXPECT_EQ(Pins("PA287").all()[0], 287);
    for (const char *bad : {"PI32", "PA288", "PH99999999999999999999", "PB4294967296"}) {
        Pins p(bad);
        EXPECT_EQ(p.result, -1) << bad;
        EXPECT_EQ(p.err, std::string("pin definition error: ") + bad + "\n");
        EXPECT_EQ(p.all(), (std::vector<int32_t>{276, 227, 277, 229})) << bad;
    }
}

TEST(PinConfig, AFifthPinIsIgnored)
{
    Pins p("PA1,PA2,PA3,PA4,PA5,PZ9");
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.all(), (std::vector<int32_t>{1, 2, 3, 4}));
}

}  // namespace
