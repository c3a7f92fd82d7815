// The bus scripts the emulator plays and their lines in the register page, as the qemu plugin
// drives them: a store to the page, then one step.
#include "s88_board.h"

#include "gpio_aw.h"

#include <gtest/gtest.h>
#include <string>

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
