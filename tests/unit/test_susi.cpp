// SPDX-License-Identifier: GPL-2.0-or-later
// susi-cv-read against a stand-in driver: the records that reach it, and the byte assembled
// from the decoder's answers.
#include "argv.h"
#include "capture.h"
#include "susi.h"

#include <array>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

// A decoder holding one CV, behind a driver that keeps every record as it arrived.
struct StandInDriver {
    int cv = -1;         // the decoder's CV; any other answers nothing
    uint8_t value = 0;   // its content
    int fail_from = 99;  // calls from this one on fail without touching the record
    int fd_seen = -1;
    std::vector<std::array<uint8_t, 5>> records;
};
StandInDriver driver;

void reset_driver(int cv, uint8_t value)
{
    driver = StandInDriver();
    driver.cv = cv;
    driver.value = value;
}

// Answers like the decoder: bit verify (1110 1bbb) of its own CV, acknowledged when bit b is 1.
uint8_t decoder_answer(const uint8_t *command)
{
    int cv = ((command[0] & 3) << 8) | command[1];
    if ((command[0] & 0xFC) != 0x78 || (command[2] & 0xF8) != 0xE8 || cv != driver.cv)
        return 0;
    // Any non-zero byte is an acknowledgement, not only 1.
    return (driver.value >> (command[2] & 7)) & 1 ? 0xA5 : 0;
}

int read_through_driver(int cv)
{
    int result = -1;
    read_cv(7, cv, &result);
    return result;
}

std::array<uint8_t, 5> record(uint8_t a, uint8_t b, uint8_t c)
{
    return {3, 0, a, b, c};
}

}  // namespace

int susi_xfer(int fd, susi_request *request)
{
    driver.fd_seen = fd;
    std::array<uint8_t, 5> bytes;
    memcpy(bytes.data(), request, bytes.size());
    driver.records.push_back(bytes);
    if ((int)driver.records.size() > driver.fail_from)
        return -1;
    request->result = decoder_answer(request->command);
    return 0;
}

namespace {

TEST(SusiReadCv, EightBitVerifyRequestsInOrderAssembleTheByte)
{
    reset_driver(897, 0x83);
    EXPECT_EQ(read_through_driver(897), 0x83);
    EXPECT_EQ(driver.fd_seen, 7);
    std::vector<std::array<uint8_t, 5>> expected;
    for (uint8_t b = 0; b < 8; b++)
        expected.push_back(record(0x7B, 0x81, 0xE8 | b));
    EXPECT_EQ(driver.records, expected);
}

TEST(SusiReadCv, AllAcknowledgedNoneAcknowledgedAndOtherCv)
{
    reset_driver(3, 0xFF);
    EXPECT_EQ(read_through_driver(3), 0xFF);
    reset_driver(3, 0x00);
    EXPECT_EQ(read_through_driver(3), 0x00);
    reset_driver(3, 0x5A);
    EXPECT_EQ(read_through_driver(3), 0x5A);
    EXPECT_EQ(read_through_driver(4), 0x00);  // a CV the decoder lacks: no bit acknowledged
    reset_driver(-1, 0);       // no decoder at all
    EXPECT_EQ(read_through_driver(897), 0x00);
    EXPECT_EQ(driver.records.size(), 8u);
}

TEST(SusiReadCv, ResultByteIsClearedBeforeEachCall)
{
    // Bits 0 to 3 acknowledged, then the driver fails and leaves byte 1 as it finds it: the
    // failed bits read as 0, not as a repeat of bit 3's answer.
    reset_driver(1, 0xFF);
    driver.fail_from = 4;
    EXPECT_EQ(read_through_driver(1), 0x0F);
    ASSERT_EQ(driver.records.size(), 8u);
    for (auto &r : driver.records)
        EXPECT_EQ(r[1], 0) << "byte 1 reached the driver uncleared";
}

struct Parsed {
    int cv = -5;
    int status;
    std::string err;
    explicit Parsed(std::initializer_list<std::string> words)
    {
        Argv args(words);
        CaptureFd capture(STDERR_FILENO);
        status = parse_susi_options(args.argc(), args.argv(), &cv);
        err = capture.text();
    }
};

TEST(SusiOptions, CvIsTheLowTenBitsAndReachesTheDriverUnchanged)
{
    EXPECT_EQ(Parsed({"s", "-c", "897"}).cv, 897);
    EXPECT_EQ(Parsed({"s", "-c", "abc"}).cv, 0);
    EXPECT_EQ(Parsed({"s", "-c", "5", "-c", "6"}).cv, 6);  // the later one counts

    Parsed wrapped({"s", "-c", "1024"});
    EXPECT_EQ(wrapped.status, -1);
    EXPECT_EQ(wrapped.cv, 0);
    reset_driver(0, 0x01);
    EXPECT_EQ(read_through_driver(wrapped.cv), 0x01);
    EXPECT_EQ(driver.records[0], record(0x78, 0x00, 0xE8));

    Parsed negative({"s", "-c", "-1"});
    EXPECT_EQ(negative.cv, 1023);
    reset_driver(1023, 0x80);
    EXPECT_EQ(read_through_driver(negative.cv), 0x80);
    EXPECT_EQ(driver.records[0], record(0x7B, 0xFF, 0xE8));
    EXPECT_EQ(driver.records[7], record(0x7B, 0xFF, 0xEF));

    Parsed high({"s", "-c", "256"});
    reset_driver(256, 0);
    read_through_driver(high.cv);
    EXPECT_EQ(driver.records[0], record(0x79, 0x00, 0xE8));
}

}  // namespace
