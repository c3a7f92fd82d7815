// SPDX-License-Identifier: GPL-2.0-or-later
// The bus scripts the emulator plays and their lines in the register page, as the qemu plugin
// drives them: a store to the page, then one step.
#include "s88_board.h"
#include "s88_bus_vcd.h"

#include "gpio_aw.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

const unsigned DATA = 276, CLOCK = 227, LOAD = 277, RESET = 229;

struct Page {
    uint32_t words[S88_PAGE_SIZE / 4] = {};
    S88Board board;
    explicit Page(const char *script)
    {
        char why[160];
        EXPECT_TRUE(s88_board_parse(&board, script, why, sizeof why)) << why;
        s88_board_idle(&board, words);
    }
    bool level(unsigned pin) const { return (words[gpio_aw_data_offset(pin) / 4] >> (pin % 32)) & 1; }
    // A program's store of one line level, as the plugin sees it.
    void store(unsigned pin, bool high)
    {
        uint32_t &word = words[gpio_aw_data_offset(pin) / 4];
        word = high ? word | 1u << (pin % 32) : word & ~(1u << (pin % 32));
        ASSERT_TRUE(s88_board_watches(board, gpio_aw_data_offset(pin)));
        s88_board_step(&board, words);
    }
    // The reporter's cycle with lines active at `active`: the contact bits as DATA gave them.
    std::string cycle(bool active = true)
    {
        std::string bits;
        store(LOAD, active), store(CLOCK, active), store(CLOCK, !active);
        store(RESET, active), store(RESET, !active), store(LOAD, !active);
        for (int i = 0; i < 16 * board.bus.modules; i++) {
            bits += level(DATA) == active ? '1' : '0';
            store(CLOCK, active), store(CLOCK, !active);
        }
        return bits;
    }
};

TEST(S88Board, RefusesAMalformedScriptNamingTheWord)
{
    const char *bad[][2] = {
        {"plain close:17", "close:17: "},  // past the one module
        {"plain modules:33", "modules:33: 1 to 32 modules"},
        {"plain train:1-11@5/10", "train:1-11@5/10: "},  // 66 changes: more than the model holds
        {"plain train:1-2@5/4", "train:1-2@5/4: "},
        {"plain train:1-10@5/10 toggle:11/2 toggle:12/2 toggle:13/2 open:14@2 close:15@3",
         "close:15@3: more changes than the bus holds"},
        {"plain pins:PI20/PH3/PI21", "pins:PI20/PH3/PI21: "},
        {"plain pins:PI20/PH3/PI21/PJ5", "pins:PI20/PH3/PI21/PJ5: "},
        {"plain wire:DATA", "wire:DATA: "},
        {"plain open:3", "open:3: "},
        {"plain invert:2", "invert:2: "},
        {" close:3", "a bus script starts with its name"},
    };
    for (auto &b : bad) {
        S88Board board;
        char why[160] = "";
        EXPECT_FALSE(s88_board_parse(&board, b[0], why, sizeof why)) << b[0];
        EXPECT_NE(std::string(why).find(b[1]), std::string::npos) << b[0] << " -> " << why;
    }
}

// The waveform of one cycle: each store that moved a line is one time stamp with what changed.
TEST(S88Board, WaveformHoldsEachLineChangeOfACycle)
{
    Page page("plain close:2");
    char path[] = "/tmp/kit-bus-vcd-XXXXXX";
    close(mkstemp(path));
    S88Vcd vcd;
    ASSERT_TRUE(s88_vcd_open(&vcd, path, page.board, 1000));
    s88_vcd_step(&vcd, page.board, page.words, 1000);  // the idle levels at time 0
    uint64_t now = 1000;
    for (unsigned pin : {LOAD, CLOCK, CLOCK, RESET, RESET, LOAD}) {
        page.store(pin, !page.level(pin));
        s88_vcd_step(&vcd, page.board, page.words, now += 10);
    }
    page.store(CLOCK, true);  // contact 1 out, contact 2 (closed) on DATA
    s88_vcd_step(&vcd, page.board, page.words, now += 10);
    s88_vcd_close(&vcd, now + 5);
    char text[4096] = "";
    FILE *f = fopen(path, "r");
    text[fread(text, 1, sizeof text - 1, f)] = '\0';
    fclose(f);
    unlink(path);
    std::string body = strstr(text, "$enddefinitions $end\n") + 21;
    EXPECT_NE(std::string(text).find("$var wire 1 l LOAD $end"), std::string::npos);
    // Contact 1 on DATA after the load is open: DATA stays low until the shift brings 2.
    EXPECT_EQ(body, "#0\n0d\n0c\n0l\n0r\n#10\n1l\n#20\n1c\n#30\n0c\n#40\n1r\n#50\n0r\n"
                    "#60\n0l\n#70\n1d\n1c\n#75\n");
}

TEST(S88Board, PlaysATrainRunWithBounceCycleByCycle)
{
    Page p("train modules:2 train:17-17@2/8 pins:PI20/PH3/PI21/PH5");
    EXPECT_STREQ("train", p.board.name);
    std::string contact17;
    for (int c = 1; c <= 22; c++)
        contact17 += p.cycle()[16];
    // Occupied after cycle 2 (read from cycle 3), back open for cycle 4, closed again for good
    // from cycle 5; freed after cycle 18 with the same bounce.
    EXPECT_EQ("0010" "11111111111111" "0100", contact17);
    EXPECT_EQ(22u, p.board.bus.loads);
    EXPECT_EQ(22u * 33, p.board.bus.clock_pulses);
}

TEST(S88Board, InvertedLinesRestHighAndTheFirstLoadIsCycleOne)
{
    Page p("inverted invert:1 close:5");
    EXPECT_TRUE(p.level(LOAD) && p.level(CLOCK) && p.level(RESET));
    EXPECT_EQ("0000100000000000", p.cycle(false));
    EXPECT_EQ(1u, p.board.bus.loads);
    EXPECT_EQ(1u, p.board.bus.resets);
    EXPECT_EQ(17u, p.board.bus.clock_pulses);
}

TEST(S88Board, AWireMakesDataTheLevelOfItsLineAtEachStore)
{
    Page p("wire-load wire:LOAD");
    p.store(LOAD, true);
    EXPECT_TRUE(p.level(DATA));
    p.store(CLOCK, true);
    EXPECT_TRUE(p.level(DATA));
    p.store(LOAD, false);
    EXPECT_FALSE(p.level(DATA));
    EXPECT_EQ(0u, p.board.bus.loads);
}

}  // namespace
