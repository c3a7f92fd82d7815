// SPDX-License-Identifier: GPL-2.0-or-later
#include "cantext.h"

#include <gtest/gtest.h>
#include <string>

namespace {

std::string text_of(std::initializer_list<uint8_t> bytes)
{
    CanUdpFrame f = {};
    memcpy(&f, bytes.begin(), bytes.size());
    char text[FRAME_TEXT_SIZE];
    size_t n = format_frame_text(&f, text);
    EXPECT_EQ(n, strlen(text));
    return text;
}

TEST(FrameText, FormatsAsCandumpDoes)
{
    EXPECT_EQ(text_of({0x00, 0x23, 0x03, 0x00, 8, 0, 0, 0, 0x0D, 0, 1, 0, 0}), "00230300#0000000D00010000");
    EXPECT_EQ(text_of({0x00, 0x30, 0x03, 0x00, 0, 0xAA}), "00300300#");
    EXPECT_EQ(text_of({0xE0, 0x00, 0x01, 0x23, 2, 0xab, 0xcd, 0xef}), "00000123#ABCD");  // flags go
    EXPECT_EQ(text_of({0xFF, 0xFF, 0xFF, 0xFF, 15, 1, 2, 3, 4, 5, 6, 7, 8}), "1FFFFFFF#0102030405060708");
}

TEST(FrameText, ParsesCansendSyntaxAndNamesWhatIsWrong)
{
    CanUdpFrame f;
    const char *why = "";
    ASSERT_EQ(parse_frame_text("00080300#00.00.40.07.01.2c", &f, &why), 0);
    const uint8_t speed[13] = {0x00, 0x08, 0x03, 0x00, 6, 0x00, 0x00, 0x40, 0x07, 0x01, 0x2C, 0, 0};
    EXPECT_EQ(memcmp(&f, speed, 13), 0);
    ASSERT_EQ(parse_frame_text("1fffffff#", &f, &why), 0);
    EXPECT_EQ(can_udp_frame_id(&f), 0x1FFFFFFFu);
    EXPECT_EQ(f.dlc, 0);
    struct {
        const char *text, *why;
    } bad[] = {
        {"00080300", "no '#'"}, {"123#11", "8 hex digits"}, {"000080300#11", "8 hex digits"},
        {"0008030g#11", "not hex"}, {"20000000#", "above 1FFFFFFF"}, {"00080300#1", "pairs"},
        {"00080300#11.", "pairs"}, {"00080300#11 22", "pairs"}, {"00080300#112233445566778899", "more than 8"},
        {"00080300#R", "remote"}, {"00080300##1", "FD"}, {"", "no '#'"},
    };
    for (auto &b : bad) {
        why = "";
        EXPECT_EQ(parse_frame_text(b.text, &f, &why), -1) << b.text;
        EXPECT_NE(std::string(why).find(b.why), std::string::npos) << b.text << ": " << why;
    }
}

}  // namespace
