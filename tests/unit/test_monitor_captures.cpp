// SPDX-License-Identifier: GPL-2.0-or-later
#include "captures.h"
#include "live.h"
#include "monitor_record.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const uint8_t contact13[13] = {0x00, 0x23, 0x03, 0x00, 8, 0, 0, 0, 13, 0, 1, 0, 0};

TEST(Captures, LogLineAsCandumpWritesIt)
{
    struct timeval t = {1765272043, 12};
    char line[LOG_LINE_SIZE];
    EXPECT_EQ(format_log_line(contact13, &t, "can0", line, sizeof(line)), 51u);
    EXPECT_STREQ(line, "(1765272043.000012) can0 00230300#0000000D00010000\n");
    const uint8_t beacon[13] = {0x00, 0x30, 0x03, 0x00};
    t = {7, 999999};
    format_log_line(beacon, &t, "vcan0", line, sizeof(line));
    EXPECT_STREQ(line, "(0000000007.999999) vcan0 00300300#\n");
}

TEST(Captures, PcapHeaderAndRecordsAreSocketCanFrames)
{
    uint8_t header[PCAP_HEADER_SIZE];
    format_pcap_header(header);
    EXPECT_EQ(std::vector<uint8_t>(header, header + 24),
              (std::vector<uint8_t>{0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    0xff, 0xff, 0, 0, 227, 0, 0, 0}));
    struct timeval t = {0x01020304, 0x050607};
    uint8_t record[PCAP_RECORD_SIZE];
    format_pcap_record(contact13, &t, record);
    EXPECT_EQ(std::vector<uint8_t>(record, record + 32),
              (std::vector<uint8_t>{4, 3, 2, 1, 7, 6, 5, 0, 16, 0, 0, 0, 16, 0, 0, 0,
                                    0x80, 0x23, 0x03, 0x00, 8, 0, 0, 0, 0, 0, 0, 13, 0, 1, 0, 0}));
    // Flag bits of the datagram go; a length of 3 leaves the bytes after it zero; 9 to 15 ride
    // in the length code byte, as the kernel's len8_dlc.
    const uint8_t odd[13] = {0xFF, 0x00, 0x01, 0x23, 3, 1, 2, 3, 4, 5, 6, 7, 8};
    format_pcap_record(odd, &t, record);
    EXPECT_EQ(std::vector<uint8_t>(record + 16, record + 32),
              (std::vector<uint8_t>{0x9F, 0, 1, 0x23, 3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 0}));
    const uint8_t long_one[13] = {0, 0, 1, 0x23, 12, 1, 2, 3, 4, 5, 6, 7, 8};
    format_pcap_record(long_one, &t, record);
    EXPECT_EQ(record[16 + 4], 8);
    EXPECT_EQ(record[16 + 7], 12);
}

void note(live_view *view, unsigned contact, int occupied, double now, const char *sender = "10.0.2.15")
{
    monitor_record record = record_of(s88_event(contact, occupied), now, sender);
    live_note(view, &record);
}

void note_frame(live_view *view, const std::vector<uint8_t> &bytes, double now, const char *sender = "10.0.2.15")
{
    monitor_record record = record_of(bytes, now, sender);
    live_note(view, &record);
}

std::string screen(const live_view *view, double now, int columns, int lines, int ansi)
{
    char text[8192];
    size_t n = live_format(view, now, columns, lines, ansi, text, sizeof(text));
    EXPECT_EQ(n, strlen(text));
    return text;
}

TEST(LiveScreen, GridShowsATrainRunAndRowsAsCansniffer)
{
    static live_view view;  // a train over contacts 15 to 18: module 1 into module 2
    note(&view, 15, 1, 10.0);
    note(&view, 16, 1, 11.0);
    note(&view, 15, 0, 12.0);
    note(&view, 17, 1, 13.0);
    note(&view, 16, 0, 200.0);
    note_frame(&view, frame(0x00080300, 6, {0, 0, 0x40, 5, 0, 16}), 201.0);
    EXPECT_EQ(screen(&view, 205.0, 71, 12, 0),
              "frames 6, ids 2, boards 1, S88 modules 2\n"
              "# occupied, . free, ? not reported since kit-monitor started\n"
              "module  1   2   3   4   5   6   7   8   9   10  11  12  13  14  15  16 \n"
              "     1  ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   .3m .5 \n"
              "     2  #3m ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?   ?  \n"
              "\n"
              "board           beacon                       S88 events     frames\n"
              "10.0.2.15       no beacon                             5          6\n"
              "\n"
              "id         count  period dlc  data                     kind\n"
              "00080300       1       -   6  00 00 40 05 00 10        loco-speed\n"
              "00230300       5 187000ms   8  00 00 00 10 01 00 00 00  s88-event\n");
    std::string full = screen(&view, 205.0, 71, 12, 0);
    EXPECT_EQ(screen(&view, 205.0, 71, 11, 0),  // room for one row: it says how many do not fit
              full.substr(0, full.find("00080300")) + "... 2 more ids\n");
    // On a terminal: reverse video for occupied, bold for a byte changed within the second,
    // dim for an id quiet for 5 s.
    std::string ansi = screen(&view, 200.5, 80, 24, 1);
    EXPECT_EQ(ansi.substr(0, 3), "\033[H");
    EXPECT_NE(ansi.find("     2  \033[7m#\033[0m3m"), std::string::npos) << ansi;
    EXPECT_NE(ansi.find(" 00 00 00 \033[1m10\033[0m \033[1m01\033[0m \033[1m00\033[0m 00 00"), std::string::npos) << ansi;
    EXPECT_NE(screen(&view, 207.0, 80, 24, 1).find("\033[2m00080300"), std::string::npos);
}

// A terminal too small for the grid gets one line that fits it, with the size it needs.
TEST(LiveScreen, TooSmallATerminalIsToldWhatItNeeds)
{
    static live_view view;
    note(&view, 1, 1, 1.0);
    const struct {
        int columns, lines, ansi;
        const char *text;
    } rows[] = {
        {70, 24, 1, "\033[H\033[2Jterminal too small for the S88 grid: needs 71x10, has 70x24"},
        {71, 9, 0, "terminal too small for the S88 grid: needs 71x10, has 71x9\n"},
        {40, 24, 1, "\033[H\033[2Jtoo small: needs 71x10, has 40x24"},
        {20, 24, 1, "\033[H\033[2Jneeds 71x10"},
        {8, 3, 0, "71x10\n"},
        {3, 3, 0, "71x\n"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(screen(&view, 2.0, row.columns, row.lines, row.ansi), row.text) << row.columns;
}

// One row per sender: two boards with their own S88 offsets, each with its beacon's age and
// period, and silent once three of its periods passed without one.
TEST(LiveScreen, OneRowPerBoardSilentAfterThreeMissingBeacons)
{
    setenv("TZ", "UTC", 1);
    tzset();
    static live_view view;
    const std::vector<uint8_t> beacon = frame(0x00300300, 0, {});
    for (int i = 0; i < 3; i++) {
        note_frame(&view, beacon, 10.0 + 5 * i, "127.0.0.2");  // every 5 s, the last at 20 s
        note_frame(&view, beacon, 11.0 + 2 * i, "127.0.0.3");  // every 2 s, the last at 15 s
    }
    note(&view, 3, 1, 12.0, "127.0.0.2");
    note(&view, 33, 1, 12.5, "127.0.0.3");  // the second board's offset: 32
    note(&view, 40, 1, 13.0, "127.0.0.3");
    char beacon_words[40];
    const struct {
        int board;
        double now;
        const char *words;
        bool silent;
    } rows[] = {
        {0, 21.0, "1.0s ago, every 5.0s", false},
        {0, 35.0, "15s ago, every 5.0s", false},  // three periods, not more
        {0, 35.5, "silent since 09:20:20", true},
        {1, 21.5, "silent since 09:20:15", true},  // 6.5 s after the last: over three periods
        {1, 20.9, "5.9s ago, every 2.0s", false},
    };
    for (const auto &row : rows) {
        format_beacon(&view.boards[row.board], row.now, beacon_words, sizeof(beacon_words));
        EXPECT_EQ(std::string(beacon_words), row.words) << row.board << " at " << row.now;
        EXPECT_EQ(live_silent(&view.boards[row.board], row.now), row.silent) << row.board << " at " << row.now;
    }
    std::string text = screen(&view, 21.5, 80, 24, 0);
    EXPECT_NE(text.find("board           beacon                       S88 events     frames\n"
                        "127.0.0.2       1.5s ago, every 5.0s                  1          4\n"
                        "127.0.0.3       silent since 09:20:15                 2          5\n"),
              std::string::npos) << text;
    EXPECT_EQ(view.boards[1].contact_low, 33u);
    EXPECT_EQ(view.boards[1].contact_high, 40u);
}

TEST(LiveScreen, IdsPastTheTableAreCountedNotShown)
{
    static live_view view;
    for (uint8_t id = 0; id <= LIVE_MAX_IDS; id++) {  // one more id than the table holds
        note_frame(&view, frame(LIVE_MAX_IDS - id, 0, {}), 1.0);
    }
    EXPECT_EQ(view.row_count, LIVE_MAX_IDS);
    EXPECT_EQ(view.rows[0].id, 1u);  // the rows stay in id order
    EXPECT_EQ(screen(&view, 1.0, 80, 100, 0).substr(0, 65),
              "frames 65, ids 64, boards 1, S88 modules 0; 1 frames of more ids\n");
}

// Visible width of each line: escape sequences take no room.
std::vector<size_t> widths(const std::string &text)
{
    std::vector<size_t> result{0};
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\033')
            i = text.find_first_of("HJKm", i);
        else if (text[i] == '\n')
            result.push_back(0);
        else
            result.back()++;
    }
    return result;
}

TEST(LiveScreen, EveryLineFitsTheWidth)
{
    static live_view view;  // numbers grown long: a slow id, a busy one, frames of more ids
    note_frame(&view, frame(1, 0, {}), 0.0);
    note_frame(&view, frame(1, 0, {}), 86400.0);
    for (uint32_t id = 2; id < 1000; id++)
        note_frame(&view, frame(id, 0, {}), 1.0);
    note(&view, 1, 1, 1.0);
    view.rows[1].count = 123456789;  // days of frames at the board's rate
    view.frames += 123456789;
    for (int ansi = 0; ansi <= 1; ansi++)
        for (int columns : {71, 80})
            for (size_t width : widths(screen(&view, 86400.0, columns, 30, ansi)))
                EXPECT_LE(width, (size_t)columns) << screen(&view, 86400.0, columns, 30, ansi);
    for (size_t width : widths(screen(&view, 1.0, 40, 30, 1)))  // the one line of a small terminal
        EXPECT_LE(width, 40u);
    EXPECT_NE(screen(&view, 86400.0, 80, 30, 1).find("\033[0m\033[K\n"), std::string::npos);  // a cut line
}

}  // namespace
