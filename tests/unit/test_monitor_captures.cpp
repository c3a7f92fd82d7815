#include "captures.h"
#include "live.h"

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

void note(live_view *view, unsigned contact, int occupied, double now)
{
    uint8_t f[13] = {0x00, 0x23, 0x03, 0x00, 8, 0, 0, (uint8_t)(contact >> 8), (uint8_t)contact,
                     (uint8_t)!occupied, (uint8_t)occupied};
    live_note_frame(view, f, now);
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
    const uint8_t speed[13] = {0x00, 0x08, 0x03, 0x00, 6, 0, 0, 0x40, 5, 0, 16};
    live_note_frame(&view, speed, 201.0);
    EXPECT_EQ(screen(&view, 205.0, 71, 9, 0),
              "frames 6, ids 2, S88 modules 2: # occupied, . free\n"
              "module  1   2   3   4   5   6   7   8   9   10  11  12  13  14  15  16 \n"
              "     1  .   .   .   .   .   .   .   .   .   .   .   .   .   .   .3m .5 \n"
              "     2  #3m .   .   .   .   .   .   .   .   .   .   .   .   .   .   .  \n"
              "\n"
              "id         count  period dlc  data                     kind\n"
              "00080300       1       -   6  00 00 40 05 00 10        loco-speed\n"
              "00230300       5 187000ms   8  00 00 00 10 01 00 00 00  s88-event\n");
    std::string full = screen(&view, 205.0, 71, 9, 0);
    EXPECT_EQ(screen(&view, 205.0, 71, 7, 0),  // room for one row: it says how many do not fit
              full.substr(0, full.find("00080300")) + "... 2 more ids\n");
    // On a terminal: reverse video for occupied, bold for a byte changed within the second,
    // dim for an id quiet for 5 s; a smaller terminal gets one line.
    std::string ansi = screen(&view, 200.5, 80, 24, 1);
    EXPECT_EQ(ansi.substr(0, 3), "\033[H");
    EXPECT_NE(ansi.find("     2  \033[7m#\033[0m3m"), std::string::npos) << ansi;
    EXPECT_NE(ansi.find(" 00 00 00 \033[1m10\033[0m \033[1m01\033[0m \033[1m00\033[0m 00 00"), std::string::npos) << ansi;
    EXPECT_NE(screen(&view, 207.0, 80, 24, 1).find("\033[2m00080300"), std::string::npos);
    EXPECT_EQ(screen(&view, 205.0, 70, 24, 1), "\033[H\033[2Jterminal too small for the S88 grid: needs 71x7, has 70x24");
    EXPECT_EQ(screen(&view, 205.0, 71, 6, 0), "terminal too small for the S88 grid: needs 71x7, has 71x6\n");
}

TEST(LiveScreen, IdsPastTheTableAreCountedNotShown)
{
    static live_view view;
    for (uint8_t id = 0; id <= LIVE_MAX_IDS; id++) {  // one more id than the table holds
        const uint8_t f[13] = {0, 0, 0, (uint8_t)(LIVE_MAX_IDS - id)};
        live_note_frame(&view, f, 1.0);
    }
    EXPECT_EQ(view.row_count, LIVE_MAX_IDS);
    EXPECT_EQ(view.rows[0].id, 1u);  // the rows stay in id order
    EXPECT_EQ(screen(&view, 1.0, 80, 100, 0).substr(0, 75),
              "frames 65, ids 64, S88 modules 0: # occupied, . free; 1 frames of more ids\n");
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
    const uint8_t slow[13] = {0, 0, 0, 1};
    live_note_frame(&view, slow, 0.0);
    live_note_frame(&view, slow, 86400.0);
    for (uint32_t id = 2; id < 1000; id++) {
        const uint8_t f[13] = {0, 0, (uint8_t)(id >> 8), (uint8_t)id};
        live_note_frame(&view, f, 1.0);
    }
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
