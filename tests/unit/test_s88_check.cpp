// SPDX-License-Identifier: GPL-2.0-or-later
// s88-check's whole pass against the simulated GPIO block, with the Enter keys scripted on
// stdin and DATA wired to the line under test.
#include "capture.h"
#include "check.h"
#include "gpio_sim.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// Feeds text to stdin for the length of a test.
struct Stdin {
    int saved = dup(STDIN_FILENO);
    explicit Stdin(const std::string &text)
    {
        FILE *f = tmpfile();
        fputs(text.c_str(), f);
        fflush(f);
        rewind(f);
        dup2(fileno(f), STDIN_FILENO);
        fclose(f);
        clearerr(stdin);
    }
    ~Stdin()
    {
        dup2(saved, STDIN_FILENO);
        close(saved);
        clearerr(stdin);
    }
};

std::string run_check(uint8_t invert, const std::string &keys)
{
    gpio_sim = GpioSim();
    gpio_sim.wire_pin = WIRE_TO_LAST_WRITTEN;
    Stdin in(keys);
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(0, open_bus_lines());
    run_multimeter_test();
    run_loopback_test(invert);
    return out.text();
}

std::string expected_text(const char *report_low, const char *report_high)
{
    std::string text =
        "#########################\n# S88 test\n\n"
        "#########################\n# Test with multimeter\n\n"
        "CLOCK_PIN, LOAD_PIN & RESET_PIN low   - ( U3,U4,U5 Pin2 1V4 - 1V9) - press enter to continue\n"
        "\n\n"
        "CLOCK_PIN, LOAD_PIN & RESET_PIN high  - ( U3,U4,U5 Pin2 3V3)  - press enter to continue\n"
        "#########################\n# Test without multimeter\n\n";
    for (const char *line : {"RESET", "LOAD", "CLOCK"}) {
        text += std::string("connect ") + line + " pin to DATA pin on S88 bus - press enter to continue\n";
        text += std::string("set ") + line + " pin low\n" + report_low + "\n";
        text += std::string("set ") + line + " pin high\n" + report_high + "\n";
        text += "\n\n";
    }
    return text;
}

GpioCall write(unsigned pin, unsigned level) { return {GpioCall::WRITE, pin, level}; }
GpioCall read(unsigned level) { return {GpioCall::READ, CHECK_DATA_PIN, level}; }

TEST(S88Check, WholePassPrintsEveryPromptAndReportsDataAsRead)
{
    EXPECT_EQ(run_check(0, std::string(8, '\n')), expected_text("Data pin low", "Data pin high"));
    const std::vector<GpioCall> expected = {
        {GpioCall::OPEN, 0, 0},
        {GpioCall::SET_OUTPUT, CHECK_CLOCK_PIN, 0},
        {GpioCall::SET_OUTPUT, CHECK_LOAD_PIN, 0},
        {GpioCall::SET_OUTPUT, CHECK_RESET_PIN, 0},
        {GpioCall::SET_INPUT, CHECK_DATA_PIN, 0},
        write(CHECK_CLOCK_PIN, 0), write(CHECK_LOAD_PIN, 0), write(CHECK_RESET_PIN, 0),
        write(CHECK_CLOCK_PIN, 1), write(CHECK_LOAD_PIN, 1), write(CHECK_RESET_PIN, 1),
        write(CHECK_RESET_PIN, 0), read(0), write(CHECK_RESET_PIN, 1), read(1),
        write(CHECK_LOAD_PIN, 0), read(0), write(CHECK_LOAD_PIN, 1), read(1),
        write(CHECK_CLOCK_PIN, 0), read(0), write(CHECK_CLOCK_PIN, 1), read(1),
    };
    EXPECT_EQ(gpio_sim.calls, expected);
    EXPECT_EQ(gpio_sim.opened_path, "/dev/mem");
}

TEST(S88Check, InvertSwapsOnlyTheDataReports)
{
    EXPECT_EQ(run_check(1, std::string(8, '\n')), expected_text("Data pin high", "Data pin low"));
    auto w = gpio_sim.writes();
    ASSERT_EQ(w.size(), 12u);
    EXPECT_EQ(w[6], write(CHECK_RESET_PIN, 0));  // levels driven as with -i 0
    EXPECT_EQ(w[7], write(CHECK_RESET_PIN, 1));
}

TEST(S88Check, EachCharacterIsOneKeyAndEndOfInputRunsThrough)
{
    // "ab\n" satisfies three waits; then input ends and the rest runs without pause.
    EXPECT_EQ(run_check(0, "ab\n"), expected_text("Data pin low", "Data pin high"));
    EXPECT_EQ(run_check(0, ""), expected_text("Data pin low", "Data pin high"));
}

TEST(S88Check, GpioBlockNotOpened)
{
    gpio_sim = GpioSim();
    gpio_sim.fail_open = true;
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(1, open_bus_lines());
    EXPECT_EQ(err.text(), "Can't open IO mem: No such file or directory\n");
    EXPECT_EQ(gpio_sim.calls.size(), 1u);
}

}  // namespace
