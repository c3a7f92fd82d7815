// SPDX-License-Identifier: GPL-2.0-or-later
// The scan cycle against the simulated S88 bus, linked in place of the GPIO library.
#include "capture.h"
#include "gpio_sim.h"
#include "reporter_fixture.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/prctl.h>

namespace {

constexpr int T = 2;  // microtiming: the smallest accepted, keeps the tests fast

struct Scan : Reporter {
    S88Bus bus;
    explicit Scan(int modules) : bus(modules)
    {
        gpio_sim = GpioSim();
        gpio_sim.bus = &bus;
        init_contact_state();
        gpio_aw_open("/dev/mem");
    }
    void cycles(int n)
    {
        for (int i = 0; i < n; i++)
            ASSERT_EQ(0, scan_s88_bus(&ctx, bus.modules, T));
    }
};

const unsigned LOAD = 277, CLOCK = 227, RESET = 229, DATA = 276;

GpioCall write(unsigned pin, unsigned level) { return {GpioCall::WRITE, pin, level}; }

TEST(Scan, OneModuleFillsTheHighHalfOfWord0FirstBitFirst)
{
    Scan s(1);
    s.bus.closed({1, 16});
    s.cycles(1);
    EXPECT_EQ(scan_bits[0], 0x80010000u);
    EXPECT_EQ(s.bus.clock_pulses, 17u);
    EXPECT_EQ(s.ctx.cycle_count, 1u);
}

TEST(Scan, TwoModulesShareWord0)
{
    Scan s(2);
    s.bus.closed({1, 17, 32});
    s.cycles(1);
    EXPECT_EQ(scan_bits[0], 0x80008001u);
    EXPECT_EQ(scan_bits[1], 0u);
}

TEST(Scan, ThreeModulesLeaveTheLowHalfOfWord1Alone)
{
    Scan s(3);
    s.bus.closed({2, 33, 48});
    scan_bits[1] = 0x0000BEEF;  // whatever is there stays
    s.cycles(1);
    EXPECT_EQ(scan_bits[0], 0x40000000u);
    EXPECT_EQ(scan_bits[1], 0x8001BEEFu);
}

TEST(Scan, ThirtyTwoModulesFillAllWordsWith513ClockPulses)
{
    Scan s(32);
    s.bus.closed({1, 256, 257, 512});
    s.cycles(1);
    EXPECT_EQ(scan_bits[0], 0x80000000u);
    EXPECT_EQ(scan_bits[7], 0x00000001u);
    EXPECT_EQ(scan_bits[8], 0x80000000u);
    EXPECT_EQ(scan_bits[15], 0x00000001u);
    EXPECT_EQ(s.bus.clock_pulses, 513u);
    int reads = 0, clock_high = 0;
    for (const auto &c : gpio_sim.calls) {
        reads += c.kind == GpioCall::READ && c.pin == DATA;
        clock_high += c == write(CLOCK, 1);
    }
    EXPECT_EQ(reads, 512);
    EXPECT_EQ(clock_high, 513);
}

TEST(Scan, CycleBeginsWithTheLoadSequenceAndSamplesBeforeEachClockPulse)
{
    Scan s(1);
    s.bus.closed({1});
    s.cycles(1);
    const std::vector<GpioCall> head = {
        write(LOAD, 1), write(CLOCK, 1), write(CLOCK, 0), write(RESET, 1), write(RESET, 0),
        write(LOAD, 0), {GpioCall::READ, DATA, 1}, write(CLOCK, 1), write(CLOCK, 0),
        {GpioCall::READ, DATA, 0}, write(CLOCK, 1), write(CLOCK, 0),
    };
    ASSERT_GE(gpio_sim.calls.size(), head.size() + 1);  // the OPEN of the fixture first
    EXPECT_EQ(std::vector<GpioCall>(gpio_sim.calls.begin() + 1,
                                    gpio_sim.calls.begin() + 1 + (long)head.size()),
              head);
    EXPECT_EQ(gpio_sim.calls.back(), write(CLOCK, 0));
    EXPECT_EQ(s.bus.resets, 1u);
}

TEST(Scan, InvertedLinesRestHighPulseLowAndLowDataIsAClosedContact)
{
    Scan s(1);
    s.ctx.invert = 1;
    gpio_sim.invert = 1;
    s.bus.closed({3});
    s.cycles(2);
    EXPECT_EQ(scan_bits[0], 0x20000000u);
    auto w = gpio_sim.writes();
    ASSERT_GE(w.size(), 6u);
    EXPECT_EQ(w[0], write(LOAD, 0));
    EXPECT_EQ(w[1], write(CLOCK, 0));
    EXPECT_EQ(w[2], write(CLOCK, 1));
    EXPECT_EQ(w[3], write(RESET, 0));
    EXPECT_EQ(w[4], write(RESET, 1));
    EXPECT_EQ(w[5], write(LOAD, 1));
    EXPECT_EQ(s.bus.loads, 2u);
    EXPECT_EQ(s.bus.clock_pulses, 34u);
}

TEST(Scan, ReportsContactsWithOffsetAndNumberingAcrossModules)
{
    Scan s(3);
    s.ctx.offset = 100;
    s.bus.closed({1, 16, 17, 35});
    s.cycles(4);
    auto got = s.first.datagrams();
    ASSERT_EQ(got.size(), 4u);
    const unsigned expected[] = {101, 116, 117, 135};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(contact_of(got[i]), expected[i]);
        EXPECT_EQ(old_state_of(got[i]), 0u);
        EXPECT_EQ(new_state_of(got[i]), 1u);
    }
}

TEST(Scan, TraceLinesShowTheCycleCount)
{
    Scan s(2);
    s.ctx.background = 0;
    s.bus.closed({5}).close_after(6, 20).open_after(8, 5);
    CaptureFd out(STDOUT_FILENO);
    s.cycles(12);
    // Closed before start: cycle 4. Closed after cycle 6: read from cycle 7, accepted in 10.
    // Opened after cycle 8: read open from cycle 9, accepted in 12.
    std::string text = out.text();
    std::regex line("[0-9:.]{15} \\[0x([0-9A-F]{8})\\] ->S88>UDP  CANID 0x00230300   \\[8\\] "
                    "00 00 00 ([0-9a-f]{2}) ([0-9a-f]{2}) ([0-9a-f]{2}) 00 00 \n");
    std::vector<std::string> lines;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it)
        lines.push_back((*it)[1].str() + " " + (*it)[2].str() + " " + (*it)[3].str() + " " +
                        (*it)[4].str());
    EXPECT_EQ(lines, (std::vector<std::string>{"00000004 05 00 01", "0000000A 14 00 01",
                                               "0000000C 05 01 00"}))
        << text;
}

TEST(Scan, ToggledContactsAreReportedEveryChangeThatLastsFourCycles)
{
    // The long-run pattern of the soak: a contact flipping every 4 or 5 cycles is reported in
    // the 4th cycle after each flip; one flipping every 3 cycles never is.
    Scan s(1);
    s.bus.toggle_every(4, 2).toggle_every(5, 7).toggle_every(3, 9);
    s.cycles(21);
    std::vector<std::string> got;
    for (const Bytes &d : s.first.datagrams())
        got.push_back(std::to_string(contact_of(d)) + ":" + std::to_string(new_state_of(d)));
    // Contact 2: flips after 4, 8, 12, 16, 20 -> reported in 8, 12, 16, 20; contact 7: after 5,
    // 10, 15, 20 -> reported in 9, 14, 19. In cycle order, lower contact first.
    EXPECT_EQ(got, (std::vector<std::string>{"2:1", "7:1", "2:0", "7:0", "2:1", "7:1", "2:0"}));
}

TEST(Scan, SendFailureEndsScanModeWithStatus1)
{
    Scan s(1);
    gpio_sim = GpioSim();  // run_scan_mode opens the block itself
    gpio_sim.bus = &s.bus;
    s.bus.closed({1});
    s.ctx.destination.sin_port = 0;  // the system refuses to send to port 0
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(1, run_scan_mode(&s.ctx, 1, T));
    EXPECT_EQ(err.text(), "create_event: error sending UDP data: Invalid argument\n"
                          "problem sending event data - terminating\n");
    EXPECT_EQ(s.ctx.cycle_count, 4u);
    // Set-up: the block, then the directions, before the first level is written.
    EXPECT_EQ(gpio_sim.opened_path, "/dev/mem");
    const std::vector<GpioCall> setup = {
        {GpioCall::OPEN, 0, 0}, {GpioCall::SET_OUTPUT, CLOCK, 0}, {GpioCall::SET_OUTPUT, LOAD, 0},
        {GpioCall::SET_OUTPUT, RESET, 0}, {GpioCall::SET_INPUT, DATA, 0}, write(LOAD, 1)};
    EXPECT_EQ(std::vector<GpioCall>(gpio_sim.calls.begin(), gpio_sim.calls.begin() + 6), setup);
    // The bus is clocked by sleeping with minimal timer slack.
    EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 1);
}

TEST(Scan, GpioBlockNotOpenedEndsScanModeWithStatus1)
{
    Reporter r;
    gpio_sim = GpioSim();
    gpio_sim.fail_open = true;
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(1, run_scan_mode(&r.ctx, 1, T));
    EXPECT_EQ(err.text(), "Can't open IO mem: No such file or directory\n");
    EXPECT_EQ(gpio_sim.calls.size(), 1u);
}

}  // namespace
