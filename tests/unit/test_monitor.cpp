// SPDX-License-Identifier: GPL-2.0-or-later
#include "argv.h"
#include "capture.h"
#include "monitor_record.h"
#include "options.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr int KIND_LOCO_SPEED = kind_named("loco-speed"), KIND_LOCO_DIRECTION = kind_named("loco-direction"),
              KIND_LOCO_FUNCTION = kind_named("loco-function"), KIND_START_STOP = kind_named("start-stop");

struct Decoded {
    int kind;
    std::string text;
};

Decoded decode(std::vector<uint8_t> bytes, int hex = 0)
{
    monitor_record record = record_of(bytes);
    char text[MONITOR_LINE_SIZE];
    format_words(&record, hex, text, sizeof(text));
    return {record.kind, text};
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
    monitor_record record = record_of(frame(0x00123456, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    char text[16];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(format_words(&record, 1, text, sizeof(text)), 15u);
    EXPECT_EQ(std::string(text), "frame id=0x0012");
}

TEST(MonitorDecode, LineNamesTimeSenderAndPort)
{
    setenv("TZ", "UTC", 1);
    tzset();
    monitor_record record = record_of(frame(0x00300300, 0, {}), 43.000034);
    char line[MONITOR_LINE_SIZE];
    format_line(&record, 0, line, sizeof(line));
    EXPECT_STREQ(line, "09:20:43.000034 10.0.2.15:40123 -> 15730 beacon");
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

// The settings in a few words, to compare a row against.
std::string described(const monitor_settings &s)
{
    std::string text = "ports";
    for (int i = 0; i < s.port_count; i++)
        text += (i ? "," : " ") + std::to_string(s.ports[i]);
    auto word = [&](const char *name, const char *value) { text += std::string(" ") + name + "=" + (value ? value : "-"); };
    text += " hex=" + std::to_string(s.hex) + " count=" + std::to_string(s.count) + " seconds=" +
            std::to_string(s.seconds) + " lines=" + std::to_string(s.lines) + " live=" + std::to_string(s.live);
    word("log", s.log_path);
    word("pcap", s.pcap_path);
    word("iface", s.interface);
    word("vcd", s.waveform_path);
    char web[32] = "-";
    if (s.web)
        snprintf(web, sizeof(web), "%s:%u", inet_ntoa(s.web_address.sin_addr), ntohs(s.web_address.sin_port));
    word("web", web);
    return text;
}

// Every option, its defaults, and what it must refuse: a value out of range, a word that is
// no number, a control character that would split a log line or move the cursor in a message.
TEST(MonitorOptions, AcceptedAndRefused)
{
    const std::string defaults = "ports 15730,15731,7655 hex=0 count=0 seconds=0 lines=1 live=0 log=- pcap=- "
                                 "iface=can0 vcd=- web=-";
    struct Row {
        std::initializer_list<std::string> args;
        int status;
        std::string err;  // the message, or a part of the usage text
        std::string settings;
    } rows[] = {
        {{}, -1, "", defaults},
        {{"-p", "7655", "-p", "1", "-x", "-c", "3", "-t", "30"}, -1, "",
         "ports 7655,1 hex=1 count=3 seconds=30 lines=1 live=0 log=- pcap=- iface=can0 vcd=- web=-"},
        {{"-L", "-", "-i", "vcan0"}, -1, "",
         "ports 15730,15731,7655 hex=0 count=0 seconds=0 lines=0 live=0 log=- pcap=- iface=vcan0 vcd=- web=-"},
        {{"-l", "-L", "x.log", "-w", "x.pcap", "-V", "x.vcd", "-H", "127.0.0.1:8080"}, -1, "",
         "ports 15730,15731,7655 hex=0 count=0 seconds=0 lines=0 live=1 log=x.log pcap=x.pcap iface=can0 vcd=x.vcd "
         "web=127.0.0.1:8080"},
        {{"-L", "x.log", "-H", "8080"}, -1, "",
         "ports 15730,15731,7655 hex=0 count=0 seconds=0 lines=1 live=0 log=x.log pcap=- iface=can0 vcd=- "
         "web=0.0.0.0:8080"},
        {{"-p", "0"}, 1, "invalid port: 0\n", ""},
        {{"-p", "65536"}, 1, "invalid port: 65536\n", ""},
        {{"-p", "99999999999999999999"}, 1, "invalid port: 99999999999999999999\n", ""},
        {{"-p", "15730x"}, 1, "invalid port: 15730x\n", ""},
        {{"-p", ""}, 1, "invalid port: \n", ""},
        {{"-p", "-1"}, 1, "invalid port: -1\n", ""},
        {{"-p", "80\n"}, 1, "invalid port: 80\\n\n", ""},
        {{"-c", "-2"}, 1, "invalid count: -2\n", ""},
        {{"-c", "1e3"}, 1, "invalid count: 1e3\n", ""},
        {{"-t", "soon"}, 1, "invalid time: soon\n", ""},
        {{"-t", "5 "}, 1, "invalid time: 5 \n", ""},
        {{"-H", "localhost:80"}, 1, "invalid address: localhost:80\n", ""},
        {{"-H", "127.0.0.1:80\r"}, 1, "invalid address: 127.0.0.1:80\\r\n", ""},
        {{"-i", ""}, 1, "invalid interface name: \n", ""},
        {{"-i", "can 0"}, 1, "invalid interface name: can 0\n", ""},
        {{"-i", "can#0"}, 1, "invalid interface name: can#0\n", ""},
        {{"-i", "a-name-of-16-chr"}, 1, "invalid interface name: a-name-of-16-chr\n", ""},
        {{"-i", "can\n0"}, 1, "invalid interface name: can\\n0\n", ""},
        {{"-i", "can\t0"}, 1, "invalid interface name: can\\t0\n", ""},
        {{"-i", "\033[2Jcan"}, 1, "invalid interface name: \\x1b[2Jcan\n", ""},
        {{"-i", "can\x7f"}, 1, "invalid interface name: can\\x7f\n", ""},
        {{"-i", "can\\0\b"}, 1, "invalid interface name: can\\\\0\\x08\n", ""},
        {{"-l", "-L", "-"}, 1, "invalid options: -l and -L - both want standard output\n", ""},
        {{"15730"}, 1, "\nUsage: kit-monitor ", ""},  // an operand is no port
        // Before the mistakes: glibc keeps getopt's optopt from one parse to the next.
        {{"-h"}, 0, "\nUsage: kit-monitor [-x] [-p <port>]... [-c <count>] [-t <sec>] [-L <file>] [-w <file>]\n", ""},
        {{"-?"}, 0, "\nUsage: kit-monitor ", ""},
        {{"-q"}, 1, "\nUsage: kit-monitor ", ""},     // a mistake is no request for help, as cansend
        {{"-p"}, 1, "\nUsage: kit-monitor ", ""},
    };
    for (const Row &row : rows) {
        std::vector<std::string> words = {"kit-monitor"};
        words.insert(words.end(), row.args);
        std::string shown;
        for (auto &w : words)
            shown += "[" + w + "]";
        Argv args(words);
        monitor_settings settings;
        CaptureFd capture(STDERR_FILENO);
        int status = parse_monitor_options(args.argc(), args.argv(), &settings);
        std::string err = capture.text();
        EXPECT_EQ(status, row.status) << shown;
        if (row.err.rfind("\nUsage", 0) == 0) {
            EXPECT_NE(err.find(row.err), std::string::npos) << shown << err;
        } else {
            EXPECT_EQ(err, row.err) << shown;
        }
        if (status < 0) {
            EXPECT_EQ(described(settings), row.settings) << shown;
        }
    }
    // At most 16 ports.
    std::vector<std::string> many = {"kit-monitor"};
    for (int i = 1; i <= 17; i++)
        many.insert(many.end(), {"-p", std::to_string(i)});
    Argv args(many);
    monitor_settings settings;
    CaptureFd capture(STDERR_FILENO);
    EXPECT_EQ(parse_monitor_options(args.argc(), args.argv(), &settings), 1);
    EXPECT_EQ(capture.text(), "invalid port: 17 (at most 16 ports)\n");
}

}  // namespace
