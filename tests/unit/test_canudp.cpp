// SPDX-License-Identifier: GPL-2.0-or-later
#include "canudp.h"
#include "capture.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <sys/socket.h>

namespace {

CanUdpFrame frame_of(std::initializer_list<uint8_t> bytes)
{
    CanUdpFrame f;
    memset(&f, 0, sizeof(f));
    memcpy(&f, bytes.begin(), bytes.size());
    return f;
}

// Removes the leading "HH:MM:SS.uuuuuu " after checking its shape.
std::string without_timestamp(const std::string &line)
{
    static const std::regex stamp("^[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{6} ");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, stamp)) << line;
    return m.empty() ? line : line.substr(m.length(0));
}

TEST(UdpToCan, StripsFlagBitsAndMarksExtended)
{
    struct can_frame can;
    CanUdpFrame all = frame_of({0x9F, 0xFF, 0xFF, 0xFF, 8});
    udp_to_can_frame(&all, &can);
    EXPECT_EQ(can.can_id, 0x9FFFFFFFu);
    CanUdpFrame flags = frame_of({0xE0, 0x00, 0x00, 0x01, 0});
    udp_to_can_frame(&flags, &can);
    EXPECT_EQ(can.can_id, 0x80000001u);
}

TEST(UdpToCan, CarriesAllEightDataBytesAndUncheckedLength)
{
    CanUdpFrame udp = frame_of({0, 0, 1, 0x23, 3, 1, 2, 3, 4, 5, 6, 7, 8});
    struct can_frame can;
    memset(&can, 0xAA, sizeof(can));
    udp_to_can_frame(&udp, &can);
    EXPECT_EQ(can.can_dlc, 3);
    EXPECT_EQ(0, memcmp(can.data, udp.data, 8));
    EXPECT_EQ(can.__pad, 0);
    EXPECT_EQ(can.__res0, 0);

    udp.dlc = 15;
    udp_to_can_frame(&udp, &can);
    EXPECT_EQ(can.can_dlc, 15);
}

TEST(CanToUdp, StoresIdentifierBigEndianAndOnlyValidBytes)
{
    struct can_frame can = {};
    can.can_id = 0x80000123;
    can.can_dlc = 2;
    can.data[0] = 0x11;
    can.data[1] = 0x22;
    can.data[2] = 0x33;
    CanUdpFrame udp;
    memset(&udp, 0xEE, sizeof(udp));
    can_to_udp_frame(&can, &udp);
    const uint8_t expected[13] = {0x00, 0x00, 0x01, 0x23, 2, 0x11, 0x22, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(0, memcmp(&udp, expected, 13));

    // All three flag bits go, all 29 identifier bits stay.
    can.can_id = 0xFFFFFFFF;
    can_to_udp_frame(&can, &udp);
    EXPECT_EQ(can_udp_frame_id(&udp), 0x1FFFFFFFu);
}

TEST(CanWriteFrame, WritesWholeExtendedFrameOrReports)
{
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, sv));
    struct can_frame frame = {};
    frame.can_id = 0x40000123;  // RTR flag, no EFF: forced to extended data form
    frame.can_dlc = 1;
    EXPECT_EQ(0, can_write_frame(sv[0], &frame));
    struct can_frame got;
    ASSERT_EQ((ssize_t)sizeof(got), read(sv[1], &got, sizeof(got)));
    EXPECT_EQ(got.can_id, 0x80000123u);
    EXPECT_EQ(frame.can_id, 0x80000123u);  // changed in place

    close(sv[1]);
    CaptureFd err(STDERR_FILENO);
    close(sv[0]);
    EXPECT_EQ(-1, can_write_frame(sv[0], &frame));
    EXPECT_EQ(err.text(), "error writing CAN frame: Bad file descriptor\n");
}

TEST(CanSendUdpFrame, ConvertsAndWrites)
{
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_DGRAM, 0, sv));
    CanUdpFrame udp = frame_of({0x00, 0x08, 0x03, 0x00, 6, 0, 0, 0x40, 5, 0x03, 0xE8});
    can_send_udp_frame(sv[0], &udp);
    struct can_frame got;
    ASSERT_EQ((ssize_t)sizeof(got), read(sv[1], &got, sizeof(got)));
    EXPECT_EQ(got.can_id, 0x80080300u);
    EXPECT_EQ(got.can_dlc, 6);
    EXPECT_EQ(got.data[5], 0xE8);
    close(sv[0]);
    close(sv[1]);
}

double seconds_of(int32_t usec, int *result)
{
    auto start = std::chrono::steady_clock::now();
    *result = microsleep(usec);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Microsleep, SleepsASecondOrMoreInFull)
{
    int result;
    EXPECT_GE(seconds_of(1000000, &result), 1.0);
    EXPECT_EQ(result, 0);
    EXPECT_GE(seconds_of(1250000, &result), 1.25);
}

TEST(Microsleep, NegativeCountSleepsNothing)
{
    int result;
    EXPECT_LT(seconds_of(-1, &result), 0.5);
    EXPECT_LT(seconds_of(INT32_MIN, &result), 0.5);
}

TEST(Trace, ReporterLineWithEightBytesEndsInSpace)
{
    CanUdpFrame f = frame_of({0x00, 0x23, 0x03, 0x00, 8, 0x01, 0x02, 0x00, 0x20, 1, 0, 0, 0});
    CaptureFd out(STDOUT_FILENO);
    trace_udp_frame(&f, 4u);
    EXPECT_EQ(without_timestamp(out.text()),
              "[0x00000004] ->S88>UDP  CANID 0x00230300   [8] 01 02 00 20 01 00 00 00 \n");
}

TEST(Trace, ShortFramesShowTheRestInParentheses)
{
    CanUdpFrame beacon = frame_of({0x00, 0x30, 0x03, 0x00, 0});
    CanUdpFrame six = frame_of({0x00, 0x0C, 0x03, 0x00, 6, 0, 0, 0x40, 5, 3, 1});
    CanUdpFrame seven = frame_of({0x00, 0x0C, 0x03, 0x00, 7, 1, 2, 3, 4, 5, 6, 7, 0xAB});
    CaptureFd out(STDOUT_FILENO);
    trace_udp_frame(&beacon);
    trace_udp_frame(&six, 0xDEADBEEF);
    trace_udp_frame(&seven);
    std::string text = out.text();
    size_t a = text.find('\n'), b = text.find('\n', a + 1);
    EXPECT_EQ(without_timestamp(text.substr(0, a + 1)),
              "         UDP->  0x00300300   [0](00 00 00 00 00 00 00 00)\n");
    EXPECT_EQ(without_timestamp(text.substr(a + 1, b - a)),
              "[0xDEADBEEF] ->S88>UDP  CANID 0x000C0300   [6] 00 00 40 05 03 01(00 00)\n");
    EXPECT_EQ(without_timestamp(text.substr(b + 1)),
              "         UDP->  0x000C0300   [7] 01 02 03 04 05 06 07(ab)\n");
}

TEST(Trace, GatewayLine)
{
    struct can_frame f = {};
    f.can_id = 0x80123456;
    f.can_dlc = 2;
    f.data[0] = 0xAB;
    f.data[1] = 0x01;
    CaptureFd out(STDOUT_FILENO);
    trace_can_frame(&f, 0);
    trace_can_frame(&f, 1);
    f.can_dlc = 0;
    trace_can_frame(&f, 1);
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00123456   [2] ab 01\n"
                          "->CAN>UDP CANID 0x00123456   [0]\n");
}

TEST(Trace, NothingFormattedOrWrittenForTheNullDevice)
{
    struct can_frame can;
    memset(&can, 0, sizeof(can));
    can.can_dlc = 2;
    CanUdpFrame beacon = frame_of({0x00, 0x30, 0x03, 0x00, 0});
    long before, after;
    {
        NullStdout null;
        EXPECT_EQ(trace_skip_null_output(), 1);
        EXPECT_EQ(trace_wanted(), 0);
        before = write_calls();
        trace_can_frame(&can, 1);
        trace_udp_frame(&beacon);
        trace_udp_frame(&beacon, 4);
        fflush(stdout);
        after = write_calls();
    }
    EXPECT_EQ(after, before);
    EXPECT_EQ(trace_skip_null_output(), 0);  // the test's own stdout again
}

TEST(Trace, GatewayLineNeverReadsPastTheEightDataBytes)
{
    struct can_frame f = {};
    f.can_id = 0x80000001;
    f.can_dlc = 200;
    memset(f.data, 0x5A, sizeof(f.data));
    CaptureFd out(STDOUT_FILENO);
    trace_can_frame(&f, 1);
    EXPECT_EQ(out.text(), "->CAN>UDP CANID 0x00000001   [200] 5a 5a 5a 5a 5a 5a 5a 5a\n");
}

}  // namespace
