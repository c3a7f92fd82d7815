// SPDX-License-Identifier: GPL-2.0-or-later
// The board's serial-line CAN adapter, fed its line byte by byte as slcan-bus feeds it.
#include "slcan_adapter.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Answer {
    std::string text, answer, what, frame;  // frame: candump's token, "" when none
};

// Each command of `line` (CR-separated) with the adapter's answer.
std::vector<Answer> feed(SlcanAdapter *adapter, const std::string &line)
{
    std::vector<Answer> answers;
    for (char byte : line) {
        SlcanCommand c;
        if (!slcan_take(adapter, byte, &c))
            continue;
        char token[32] = "";
        if (c.frame)
            slcan_frame_text(c.out, token, sizeof token);
        EXPECT_EQ(c.refused, std::string(c.answer) == "\a") << c.text;
        answers.push_back({c.text, c.answer, c.what, token});
    }
    return answers;
}

TEST(SlcanAdapter, TakesSlcandsStartUpThenFramesOfEachKind)
{
    SlcanAdapter a;
    // slcand -o -c -s5: close (refused, nothing is open yet), 250 kbit/s, open.
    auto answers = feed(&a, "C\rS5\rO\rT1ABCDEF02CCDD\rt1230\rt7FF811223344556677FF\rr7FF0\r"
                            "R123456783\rT0008030060000402c0010\r\n");
    std::vector<std::string> got;
    for (auto &x : answers)
        got.push_back(x.text + " " + (x.answer == "\a" ? "BEL" : x.answer == "\r" ? "CR" : x.answer) +
                      " " + x.frame);
    EXPECT_EQ((std::vector<std::string>{"C BEL ", "S5 CR ", "O CR ", "T1ABCDEF02CCDD Z\r 1ABCDEF0#CCDD",
                                        "t1230 z\r 123#", "t7FF811223344556677FF z\r 7FF#11223344556677FF",
                                        "r7FF0 z\r 7FF#R", "R123456783 Z\r 12345678#R3",
                                        "T0008030060000402c0010 Z\r 00080300#0000402C0010"}),
              got);
    EXPECT_EQ(250000u, a.bitrate);
    feed(&a, "C\rS8\r");
    EXPECT_EQ(1000000u, a.bitrate);
    EXPECT_FALSE(a.open);
}

TEST(SlcanAdapter, RefusesWhatARealAdapterRefuses)
{
    const char *rows[][3] = {
        // before the command, the command, why it is refused
        {"", "T1ABCDEF02CCDD", "the channel is not open"},
        {"S5\r", "t1230", "the channel is not open"},
        {"S5\rO\rC\r", "t1230", "the channel is not open"},
        {"", "S9", "no such bit rate"},
        {"", "S", "no such bit rate"},
        {"", "S55", "no such bit rate"},
        {"", "s011C", "no bit timing registers"},
        {"", "O", "no bit rate set"},
        {"S5\rO\r", "S4", "the channel is open"},
        {"S5\rO\r", "O", "already open"},
        {"S5\rO\r", "L", "already open"},
        {"", "C", "the channel is not open"},
        {"S5\rL\r", "t1230", "listening only"},
        {"S5\rO\r", "t8000", "not a frame"},                  // past 11 bits
        {"S5\rO\r", "T200000000", "not a frame"},             // past 29 bits
        {"S5\rO\r", "t12391122334455667788", "not a frame"},  // 9 bytes
        {"S5\rO\r", "t123211", "not a frame"},                // fewer bytes than its length
        {"S5\rO\r", "t1231112", "not a frame"},               // more
        {"S5\rO\r", "t1231GG", "not a frame"},
        {"S5\rO\r", "T1ABCDE", "not a frame"},
        {"S5\rO\r", "r12310", "not a frame"},                 // a remote request carries no bytes
        {"S5\rO\r", "T1ABCDEF08112233445566778899AABBCC", "longer than any command"},
        {"S5\rO\r", "X", "unknown command"},
        {"S5\rO\r", "Ox", "unknown command"},
    };
    for (auto &row : rows) {
        SlcanAdapter a;
        feed(&a, row[0]);
        auto answers = feed(&a, std::string(row[1]) + "\r");
        ASSERT_EQ(1u, answers.size()) << row[1];
        EXPECT_EQ("\a", answers[0].answer) << row[0] << row[1];
        EXPECT_NE(std::string::npos, answers[0].what.find(row[2])) << row[1] << " -> " << answers[0].what;
        EXPECT_EQ("", answers[0].frame) << row[1];
    }
    // A refused command changes nothing: the adapter still takes what follows.
    SlcanAdapter a;
    feed(&a, "S5\rO\rT1ABCDEF08112233445566778899AABBCC\rS4\r");
    EXPECT_EQ("1ABCDEF0#11", feed(&a, "T1ABCDEF0111\r").at(0).frame);
    EXPECT_EQ(250000u, a.bitrate);
}

TEST(SlcanAdapter, HandsOnFramesOnlyWhileOpenAtTheSendersBitRate)
{
    SlcanFrame f;
    f.id = 0x00080300, f.extended = true, f.len = 6;
    const uint8_t bytes[] = {0x00, 0x00, 0x40, 0x2C, 0x00, 0x10};
    std::copy(bytes, bytes + 6, f.data);
    char text[SLCAN_LINE_MAX + 2];
    SlcanAdapter a;
    EXPECT_FALSE(slcan_deliver(a, 250000, f, text, sizeof text));
    feed(&a, "S4\rO\r");
    EXPECT_FALSE(slcan_deliver(a, 250000, f, text, sizeof text));  // 125 kbit/s here
    feed(&a, "C\rS5\rL\r");
    ASSERT_TRUE(slcan_deliver(a, 250000, f, text, sizeof text));   // listening is receiving
    EXPECT_STREQ("T0008030060000402C0010\r", text);
    SlcanFrame r;
    r.id = 0x7FF, r.remote = true, r.len = 2;
    ASSERT_TRUE(slcan_deliver(a, 250000, r, text, sizeof text));
    EXPECT_STREQ("r7FF2\r", text);
}

}  // namespace
