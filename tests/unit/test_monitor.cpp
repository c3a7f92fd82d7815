#include "argv.h"
#include "capture.h"
#include "monitor.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

struct Decoded {
    int kind;
    std::string text;
};

// The bytes in a heap block of their exact size: a read past the datagram is an ASan finding.
Decoded decode(std::vector<uint8_t> bytes, int hex = 0)
{
    uint8_t *copy = (uint8_t *)malloc(bytes.size() + 1);
    if (!bytes.empty())  // an empty vector may have no storage at all
        memcpy(copy, bytes.data(), bytes.size());
    char text[MONITOR_TEXT_SIZE];
    int kind = decode_datagram(copy, bytes.size(), hex, text, sizeof(text));
    free(copy);
    return {kind, text};
}

std::vector<uint8_t> frame(uint32_t id, uint8_t dlc, std::vector<uint8_t> data)
{
    std::vector<uint8_t> f = {uint8_t(id >> 24), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id), dlc};
    data.resize(8);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

#define EXPECT_DECODED(bytes, k, t)                 \
    do {                                            \
        Decoded d = decode(bytes);                  \
        EXPECT_EQ(d.kind, k) << d.text;             \
        EXPECT_EQ(d.text, t);                       \
    } while (0)

TEST(MonitorDecode, S88Event)
{
    EXPECT_DECODED(frame(0x00230300, 8, {0, 0, 0, 32, 0, 1}), KIND_S88_EVENT,
                   "s88-event contact=32 old=0 new=1 event-id=0 hash=0x0300");
    EXPECT_DECODED(frame(0x00231334, 8, {0x01, 0x02, 0xFF, 0xFF, 1, 0}), KIND_S88_EVENT,
                   "s88-event contact=65535 old=1 new=0 event-id=258 hash=0x1334");
    // The top 3 bits are not part of the identifier.
    EXPECT_EQ(decode(frame(0xE0230300, 8, {0, 0, 0, 1, 0, 1})).kind, KIND_S88_EVENT);
    // Bits 8 and 9 clear, another length, or a state that is not 0 or 1: some other frame.
    EXPECT_EQ(decode(frame(0x00230100, 8, {0, 0, 0, 1, 0, 1})).kind, KIND_FRAME);
    EXPECT_EQ(decode(frame(0x00230300, 7, {0, 0, 0, 1, 0, 1})).kind, KIND_FRAME);
    EXPECT_EQ(decode(frame(0x00230300, 8, {0, 0, 0, 1, 2, 1})).kind, KIND_FRAME);
}

TEST(MonitorDecode, Beacon)
{
    EXPECT_DECODED(frame(0x00300300, 0, {}), KIND_BEACON, "beacon");
    EXPECT_EQ(decode(frame(0x00300300, 1, {})).kind, KIND_FRAME);
}

TEST(MonitorDecode, LocoCommands)
{
    EXPECT_DECODED(frame(0x00080300, 6, {0, 0, 0x40, 0x2C, 0x03, 0xE8}), KIND_LOCO_SPEED,
                   "loco-speed loco=44 speed=1000");
    EXPECT_DECODED(frame(0x000A0300, 5, {0, 0, 0x40, 5, 2}), KIND_LOCO_DIRECTION,
                   "loco-direction loco=5 direction=2");
    EXPECT_DECODED(frame(0x000C0300, 6, {0, 0, 0x40, 5, 3, 1}), KIND_LOCO_FUNCTION,
                   "loco-function loco=5 function=3 state=1");
    EXPECT_DECODED(frame(0x00000300, 5, {0, 0, 0, 0, 1}), KIND_START_STOP, "start-stop state=1");
    EXPECT_DECODED(frame(0x00000300, 5, {0, 0, 0, 0, 0}), KIND_START_STOP, "start-stop state=0");
    // Bytes past the length are not the frame's: can-bridge leaves old bytes there.
    EXPECT_EQ(decode(frame(0x000A0300, 5, {0, 0, 0x40, 5, 1, 0xAA, 0xBB, 0xCC})).kind,
              KIND_LOCO_DIRECTION);
    // Not the throttle's templates: a direction of 3, a loco id without 0x40, a start/stop
    // naming a loco, another length.
    EXPECT_EQ(decode(frame(0x000A0300, 5, {0, 0, 0x40, 5, 3})).kind, KIND_FRAME);
    EXPECT_EQ(decode(frame(0x00080300, 6, {0, 0, 0x41, 5, 0, 1})).kind, KIND_FRAME);
    EXPECT_EQ(decode(frame(0x00000300, 5, {0, 0, 0x40, 5, 1})).kind, KIND_FRAME);
    EXPECT_EQ(decode(frame(0x000C0300, 5, {0, 0, 0x40, 5, 3})).kind, KIND_FRAME);
}

TEST(MonitorDecode, OtherFramesShowTheirValidBytes)
{
    EXPECT_DECODED(frame(0x00123456, 2, {0x11, 0x22, 0x33}), KIND_FRAME,
                   "frame id=0x00123456 dlc=2 data=11 22");
    EXPECT_DECODED(frame(0x9FFFFFFF, 0, {0x11}), KIND_FRAME, "frame id=0x1FFFFFFF dlc=0 data=");
    // A length above 8: shown as it came, with the 8 bytes the datagram holds.
    EXPECT_DECODED(frame(0x00000001, 255, {1, 2, 3, 4, 5, 6, 7, 8}), KIND_FRAME,
                   "frame id=0x00000001 dlc=255 data=01 02 03 04 05 06 07 08");
    EXPECT_DECODED(frame(0x00300300, 9, {}), KIND_FRAME,
                   "frame id=0x00300300 dlc=9 data=00 00 00 00 00 00 00 00");
}

TEST(MonitorDecode, BadLengths)
{
    EXPECT_DECODED({}, KIND_BAD_LENGTH, "bad-length bytes=0");
    EXPECT_DECODED(std::vector<uint8_t>(12), KIND_BAD_LENGTH, "bad-length bytes=12");
    EXPECT_DECODED(std::vector<uint8_t>(14), KIND_BAD_LENGTH, "bad-length bytes=14");
    EXPECT_EQ(decode(std::vector<uint8_t>(65507)).text, "bad-length bytes=65507");
}

TEST(MonitorDecode, HexAppendsTheBytes)
{
    EXPECT_EQ(decode(frame(0x00300300, 0, {}), 1).text,
              "beacon hex=00 30 03 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(decode({0xab, 0xcd}, 1).text, "bad-length bytes=2 hex=ab cd");
    std::vector<uint8_t> long_one(20, 0x5a);
    EXPECT_EQ(decode(long_one, 1).text,
              "bad-length bytes=20 hex=5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a ...");
}

TEST(MonitorDecode, ShortTextBufferIsCutAndTerminated)
{
    std::vector<uint8_t> f = frame(0x00123456, 8, {1, 2, 3, 4, 5, 6, 7, 8});
    char text[16];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(decode_datagram(f.data(), f.size(), 1, text, sizeof(text)), KIND_FRAME);
    EXPECT_EQ(std::string(text), "frame id=0x0012");
}

struct Parsed {
    monitor_settings settings;
    int status;
    std::string err, interface;  // the settings point into the words, gone after parsing
    explicit Parsed(std::initializer_list<std::string> words)
    {
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_monitor_options(args.argc(), args.argv(), &settings);
        err = capture.text();
        interface = settings.interface ? settings.interface : "";
    }
};

TEST(MonitorOptions, PortsCountAndTime)
{
    Parsed defaults({"kit-monitor"});
    EXPECT_EQ(defaults.status, -1);
    EXPECT_EQ(std::vector<uint16_t>(defaults.settings.ports, defaults.settings.ports + defaults.settings.port_count),
              (std::vector<uint16_t>{15730, 15731, 7655}));
    EXPECT_EQ(defaults.settings.count, 0);
    EXPECT_EQ(defaults.settings.seconds, 0);

    Parsed given({"kit-monitor", "-p", "7655", "-p", "1", "-x", "-c", "3", "-t", "30"});
    EXPECT_EQ(given.status, -1);
    EXPECT_EQ(std::vector<uint16_t>(given.settings.ports, given.settings.ports + given.settings.port_count),
              (std::vector<uint16_t>{7655, 1}));
    EXPECT_EQ(given.settings.hex, 1);
    EXPECT_EQ(given.settings.count, 3);
    EXPECT_EQ(given.settings.seconds, 30);
}

TEST(MonitorOptions, BadValuesAndUsage)
{
    for (auto bad : {"0", "65536", "80000", "15730x", "", "-1"}) {
        Parsed p({"kit-monitor", "-p", bad});
        EXPECT_EQ(p.status, 1) << bad;
        EXPECT_EQ(p.err, std::string("invalid port: ") + bad + "\n");
    }
    EXPECT_EQ(Parsed({"kit-monitor", "-c", "-2"}).err, "invalid count: -2\n");
    EXPECT_EQ(Parsed({"kit-monitor", "-t", "soon"}).err, "invalid time: soon\n");
    Parsed help({"kit-monitor", "-h"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.err.find("\nUsage: kit-monitor [-x] [-p <port>]... [-c <count>] [-t <sec>] [-L <file>] [-w <file>]\n"),
              std::string::npos);
    EXPECT_EQ(Parsed({"kit-monitor", "-?"}).status, 0);
    // A mistake is no request for help: usage and status 1, as cansend.
    for (auto bad : {"-q", "-p"}) {
        Parsed p({"kit-monitor", bad});
        EXPECT_EQ(p.status, 1) << bad;
        EXPECT_NE(p.err.find("\nUsage: kit-monitor "), std::string::npos) << bad;
    }
    for (auto bad : {"", "can 0", "can#0", "a-name-of-16-chr"})
        EXPECT_EQ(Parsed({"kit-monitor", "-i", bad}).err, std::string("invalid interface name: ") + bad + "\n");
    EXPECT_EQ(Parsed({"kit-monitor", "-l", "-L", "-"}).status, 1);
    // The log on standard output takes the place of the lines; -l does too.
    Parsed log({"kit-monitor", "-L", "-", "-i", "vcan0"});
    EXPECT_EQ(std::make_tuple(log.status, log.settings.lines, log.interface),
              std::make_tuple(-1, 0, std::string("vcan0")));
    EXPECT_EQ(Parsed({"kit-monitor", "-l", "-L", "x.log"}).settings.lines, 0);
    EXPECT_EQ(Parsed({"kit-monitor", "-L", "x.log"}).settings.lines, 1);
    EXPECT_EQ(Parsed({"kit-monitor", "15730"}).status, 1);  // an operand is no port
}

}  // namespace
