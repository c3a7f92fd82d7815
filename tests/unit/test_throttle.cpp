// SPDX-License-Identifier: GPL-2.0-or-later
#include "argv.h"
#include "capture.h"
#include "throttle.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Parsed {
    throttle_settings settings;
    int status;
    std::string err;
    explicit Parsed(std::initializer_list<std::string> words)
    {
        throttle_defaults(&settings);
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_throttle_options(args.argc(), args.argv(), &settings);
        err = capture.text();
    }
};

const char *const usage_text =
    "\nUsage: ir-throttle -i <can interface> -r <infrared-interface> -s <step>\n"
    "   Version 0.5\n\n"
    "         -l <loco id>        loco id - default 5\n"
    "         -i <can int>        can interface - default can0\n"
    "         -r <ir int>         infrared event interface - default /dev/input/event1\n"
    "         -s <step>           speed setp - default 16\n";

TEST(ThrottleOptions, UsageForHelpUnknownAndMissingArgument)
{
    for (auto words : {std::initializer_list<std::string>{"/opt/bin/ir-throttle", "-h"},
                       std::initializer_list<std::string>{"ir-throttle", "-?"},
                       std::initializer_list<std::string>{"ir-throttle", "-f"},
                       std::initializer_list<std::string>{"ir-throttle", "-s"}}) {
        Parsed p(words);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.err, usage_text);
    }
}

TEST(ThrottleOptions, DefaultsValuesAndCutNames)
{
    Parsed d({"ir-throttle"});
    EXPECT_EQ(d.status, -1);
    EXPECT_EQ(d.settings.loco_id, 5);
    EXPECT_EQ(d.settings.step, 16);
    EXPECT_STREQ(d.settings.interface, "can0");
    EXPECT_STREQ(d.settings.device, "/dev/input/event1");

    Parsed p({"ir-throttle", "-l", "300", "-s", "-4", "-i", "abcdefghijklmnopqrst", "-r",
              std::string(300, 'p')});
    EXPECT_EQ(p.status, -1);
    EXPECT_EQ(p.settings.loco_id, 300);
    EXPECT_EQ(p.settings.step, -4);
    EXPECT_STREQ(p.settings.interface, "abcdefghijklmno");
    EXPECT_EQ(std::string(p.settings.device), std::string(254, 'p'));
    EXPECT_EQ(Parsed({"ir-throttle", "-s", "fast"}).settings.step, 0);
}

struct Sent {
    canid_t id;
    int dlc;
    std::vector<uint8_t> data;
    bool operator==(const Sent &o) const { return id == o.id && dlc == o.dlc && data == o.data; }
};
std::ostream &operator<<(std::ostream &os, const Sent &s)
{
    os << std::hex << s.id << " [" << s.dlc << "]";
    for (auto b : s.data)
        os << ' ' << (int)b;
    return os;
}

// The remote and the bus around one throttle: events go in as raw records, frames come out of
// a socketpair standing in for the CAN socket, printed lines are captured.
struct Remote {
    throttle_settings settings;
    throttle_state st;
    int sv[2];
    explicit Remote(int32_t loco = 5, int32_t step = 16)
    {
        throttle_defaults(&settings);
        settings.loco_id = loco;
        settings.step = step;
        throttle_start(&settings, &st);
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    }
    ~Remote()
    {
        close(sv[0]);
        close(sv[1]);
    }
    static struct input_event record(int32_t value, int64_t sec, int64_t usec,
                                     uint16_t type = EV_MSC, uint16_t code = MSC_SCAN)
    {
        struct input_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.input_event_sec = sec;
        ev.input_event_usec = usec;
        ev.type = type;
        ev.code = code;
        ev.value = value;
        return ev;
    }
    // Feeds records as one read; returns what was printed.
    std::string feed(std::vector<struct input_event> records, size_t extra_bytes = 0)
    {
        std::vector<uint8_t> buf(records.size() * sizeof(struct input_event) + extra_bytes, 0xEE);
        if (!records.empty())
            memcpy(buf.data(), records.data(), records.size() * sizeof(struct input_event));
        CaptureFd out(STDOUT_FILENO);
        handle_input(buf.data(), buf.size(), &st, sv[0]);
        return out.text();
    }
    // One key at a time, each well past the guard.
    std::string press(int32_t value)
    {
        now += 1000000;
        return feed({record(value, now / 1000000, now % 1000000)});
    }
    std::vector<Sent> frames()
    {
        std::vector<Sent> all;
        struct can_frame f;
        while (recv(sv[1], &f, sizeof(f), MSG_DONTWAIT) == (ssize_t)sizeof(f))
            all.push_back({f.can_id, f.can_dlc, std::vector<uint8_t>(f.data, f.data + 8)});
        return all;
    }
    int64_t now = 1700000000LL * 1000000;
};

Sent loco_frame(canid_t id, int dlc, uint8_t loco, uint8_t d4, uint8_t d5 = 0)
{
    return {CAN_EFF_FLAG | id, dlc, {0x00, 0x00, 0x40, loco, d4, d5, 0x00, 0x00}};
}

TEST(ThrottleKeys, FunctionKeysToggleTheirFunction)
{
    Remote r;
    for (int k = 0; k <= 9; k++) {
        EXPECT_EQ(r.press(k), "function " + std::to_string(k) + "\n");
        EXPECT_EQ(r.frames(), std::vector<Sent>{loco_frame(0x000C0300, 6, 5, (uint8_t)k, 1)});
    }
    r.press(3);
    EXPECT_EQ(r.frames(), std::vector<Sent>{loco_frame(0x000C0300, 6, 5, 3, 0)});
}

TEST(ThrottleKeys, NoKeyLinesWrittenToTheNullDevice)
{
    Remote r;
    long before, after;
    {
        NullStdout null;
        trace_skip_null_output();
        before = write_calls();
        for (int key : {1, 12, 13, 16, 0x55}) {  // function, start/stop, direction, speed, unhandled
            r.now += 1000000;
            struct input_event ev = Remote::record(key, r.now / 1000000, 0);
            handle_input((const uint8_t *)&ev, sizeof(ev), &r.st, r.sv[0]);
        }
        fflush(stdout);
        after = write_calls();
    }
    trace_skip_null_output();
    // One write per CAN frame; the unhandled key sends none.
    EXPECT_EQ(r.frames().size(), 4u);
    EXPECT_EQ(after - before, 4);
}

TEST(ThrottleKeys, StartStopAddressesNoLoco)
{
    Remote r;
    EXPECT_EQ(r.press(12), "Start/Stop\n");
    r.press(12);
    std::vector<Sent> expected = {{CAN_EFF_FLAG | 0x00000300, 5, {0, 0, 0, 0, 1, 0, 0, 0}},
                                  {CAN_EFF_FLAG | 0x00000300, 5, {0, 0, 0, 0, 0, 0, 0, 0}}};
    EXPECT_EQ(r.frames(), expected);
}

TEST(ThrottleKeys, DirectionSendsOneOrTwoAndLeavesSpeed)
{
    Remote r;
    r.press(16);
    r.frames();
    EXPECT_EQ(r.press(13), "Direction\n");
    r.press(13);
    r.press(13);
    std::vector<Sent> expected = {loco_frame(0x000A0300, 5, 5, 2), loco_frame(0x000A0300, 5, 5, 1),
                                  loco_frame(0x000A0300, 5, 5, 2)};
    EXPECT_EQ(r.frames(), expected);
    EXPECT_EQ(r.st.speed, 16);
}

TEST(ThrottleKeys, SpeedUpClampsAtThousand)
{
    Remote r;
    std::string last;
    for (int i = 0; i < 62; i++)
        last = r.press(16);
    EXPECT_EQ(last, "loco 5 speed + 992\n");
    EXPECT_EQ(r.frames().back(), loco_frame(0x00080300, 6, 5, 0x03, 0xE0));
    EXPECT_EQ(r.press(16), "loco 5 speed + 1000\n");
    EXPECT_EQ(r.press(0x110), "loco 5 speed + 1000\n");  // only the low byte is the key
    std::vector<Sent> expected(2, loco_frame(0x00080300, 6, 5, 0x03, 0xE8));
    EXPECT_EQ(r.frames(), expected);
}

TEST(ThrottleKeys, SpeedDownStopsAtZero)
{
    Remote r;
    r.st.speed = 8;
    EXPECT_EQ(r.press(17), "loco 5 speed - 0 \n");
    EXPECT_EQ(r.press(17), "loco 5 speed - 0 \n");
    std::vector<Sent> expected(2, loco_frame(0x00080300, 6, 5, 0, 0));
    EXPECT_EQ(r.frames(), expected);
}

TEST(ThrottleKeys, HugeStepsSaturateInsteadOfOverflowing)
{
    Remote up(5, INT32_MAX);
    up.press(16);
    EXPECT_EQ(up.st.speed, 1000);
    Remote down(5, INT32_MIN);
    down.st.speed = 1;
    down.press(17);  // 1 - INT32_MIN does not fit: the most a 32-bit speed holds
    EXPECT_EQ(down.st.speed, INT32_MAX);
    Remote negative(5, INT32_MIN);
    negative.st.speed = -1;
    negative.press(16);
    EXPECT_EQ(negative.st.speed, INT32_MIN);
}

TEST(ThrottleKeys, LocoIdIsPrintedWholeAndSentAsItsLowByte)
{
    Remote r(300);
    EXPECT_EQ(r.press(16), "loco 300 speed + 16\n");
    EXPECT_EQ(r.press(17), "loco 300 speed - 0 \n");
    r.press(13);
    std::vector<Sent> expected = {loco_frame(0x00080300, 6, 0x2C, 0, 16),
                                  loco_frame(0x00080300, 6, 0x2C, 0, 0),
                                  loco_frame(0x000A0300, 5, 0x2C, 2)};
    EXPECT_EQ(r.frames(), expected);
}

TEST(ThrottleKeys, UnhandledKeysPrintTheFullValueAndSendNothing)
{
    Remote r;
    EXPECT_EQ(r.press(0x1FF), "unhandled value 0x1ff\n");
    EXPECT_EQ(r.press(10), "unhandled value 0x0a\n");
    EXPECT_EQ(r.press(-1), "unhandled value 0xffffffff\n");
    for (int k : {11, 14, 15, 18, 255})
        r.press(k);
    EXPECT_TRUE(r.frames().empty());
}

TEST(ThrottleKeys, FailedCanWriteIsReportedAndTheStateStands)
{
    Remote r;
    close(r.sv[0]);
    r.sv[0] = -1;
    CaptureFd err(STDERR_FILENO);
    r.press(16);
    EXPECT_EQ(err.text(), "error writing CAN frame: Bad file descriptor\n");
    EXPECT_EQ(r.st.speed, 16);
}

TEST(RepeatGuard, FirstKeyActsWhateverItsTime)
{
    Remote r;
    EXPECT_EQ(r.feed({Remote::record(16, 0, 100000)}), "loco 5 speed + 16\n");
    Remote late;
    EXPECT_EQ(late.feed({Remote::record(16, 1700000000, 0)}), "loco 5 speed + 16\n");
}

TEST(RepeatGuard, ActsFromExactly250msOnTheRecordsOwnTime)
{
    Remote r;
    // 1.8e9 s: microseconds past 2^31 and 2^32, and the boundary crosses a second.
    const int64_t s = 1800000000;
    std::string out = r.feed({Remote::record(16, s, 900000),
                              Remote::record(16, s + 1, 149999),   // 249,999 us: too soon
                              Remote::record(13, s + 1, 150000),   // 250,000 us: acts
                              Remote::record(12, s + 1, 399999)}); // too soon after that one
    EXPECT_EQ(out, "loco 5 speed + 16\nDirection\n");
}

TEST(RepeatGuard, RawAndScanEventOfOnePressActOnce)
{
    Remote r;
    std::string out = r.feed({Remote::record(0x0D, 100, 0, EV_MSC, MSC_RAW),
                              Remote::record(0x0D, 100, 10, EV_MSC, MSC_SCAN)});
    EXPECT_EQ(out, "Direction\n");
    EXPECT_EQ(r.frames().size(), 1u);
}

TEST(RepeatGuard, TimeBeforeTheLastKeyIsIgnored)
{
    Remote r;
    std::string out = r.feed({Remote::record(16, 100, 0), Remote::record(16, 50, 0),
                              Remote::record(16, 99, 999999), Remote::record(16, 100, 250000)});
    EXPECT_EQ(out, "loco 5 speed + 16\nloco 5 speed + 32\n");
}

TEST(RepeatGuard, OtherEventsChangeNothing)
{
    Remote r;
    std::string out = r.feed({Remote::record(16, 10, 0, EV_SYN, SYN_REPORT),  // not a first key
                              Remote::record(16, 10, 100000),
                              Remote::record(16, 10, 400000, EV_KEY, 16),     // no new key time
                              Remote::record(16, 10, 400000, EV_MSC, MSC_SERIAL),
                              Remote::record(16, 10, 500000)});
    EXPECT_EQ(out, "loco 5 speed + 16\nloco 5 speed + 32\n");
    EXPECT_EQ(r.frames().size(), 2u);
}

TEST(RepeatGuard, UnhandledValueRestartsTheGuard)
{
    Remote r;
    std::string out = r.feed({Remote::record(16, 10, 0), Remote::record(0x1FF, 10, 300000),
                              Remote::record(16, 10, 500000), Remote::record(16, 10, 550000)});
    EXPECT_EQ(out, "loco 5 speed + 16\nunhandled value 0x1ff\nloco 5 speed + 32\n");
}

TEST(ReadBuffer, WholeRecordsOnlyStrayBytesIgnored)
{
    Remote r;
    EXPECT_EQ(r.feed({Remote::record(1, 10, 0)}, 4), "function 1\n");
    EXPECT_EQ(r.frames().size(), 1u);
    EXPECT_EQ(r.feed({}, sizeof(struct input_event) - 1), "");
}

TEST(ReadBuffer, AbsurdTimeStampsNeitherCrashNorWrap)
{
    Remote r;
    std::string out = r.feed({Remote::record(16, 10, 0),
                              Remote::record(16, -2147483647 - 1, -2147483647 - 1),
                              Remote::record(16, 2147483647, 2147483647)});
    EXPECT_EQ(out, "loco 5 speed + 16\nloco 5 speed + 32\n");
}

}  // namespace
