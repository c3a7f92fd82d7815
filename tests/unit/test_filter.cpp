// SPDX-License-Identifier: GPL-2.0-or-later
// The change filter on its word arrays, with the frames it has create_event send caught on
// loopback.
#include "capture.h"
#include "reporter_fixture.h"

#include <gtest/gtest.h>

namespace {

struct Filter : Reporter {
    Filter() { init_contact_state(); }
    // Counter of one contact (bit 31 = contact 1 of word 0).
    static unsigned counter(int word, int bit)
    {
        return ((confirm_high[word] >> bit) & 1) * 2 + ((confirm_low[word] >> bit) & 1);
    }
    static unsigned pending(int word, int bit) { return (pending_level[word] >> bit) & 1; }
    // One cycle in which contact 1 reads level; returns the frames sent.
    std::vector<Bytes> cycle_contact1(unsigned level)
    {
        scan_bits[0] = level ? 0x80000000 : 0;
        EXPECT_EQ(0, filter_contact_changes(&ctx, 16));
        return first.datagrams(20);
    }
};

TEST(Filter, StartsWithEveryContactReportedZeroAndItsCounterFull)
{
    init_contact_state();
    for (int w = 0; w < CONTACT_WORDS; w++) {
        EXPECT_EQ(scan_bits[w], 0u);
        EXPECT_EQ(pending_level[w], 0xFFFFFFFFu);
        EXPECT_EQ(confirm_low[w], 0xFFFFFFFFu);
        EXPECT_EQ(confirm_high[w], 0xFFFFFFFFu);
    }
}

TEST(Filter, FollowsTheWholeTruthTableWordParallel)
{
    // Row r of the table (inputs s p h l counted as a 4-bit number) lives in bit 31 - r.
    struct Row { unsigned p, h, l, e; };
    const Row out[16] = {
        {1, 1, 1, 1}, {0, 0, 0, 0}, {0, 0, 1, 0}, {0, 1, 0, 0},
        {1, 1, 1, 0}, {1, 1, 1, 0}, {1, 1, 1, 0}, {1, 1, 1, 0},
        {0, 1, 1, 0}, {0, 1, 1, 0}, {0, 1, 1, 0}, {0, 1, 1, 0},
        {0, 1, 1, 1}, {1, 0, 0, 0}, {1, 0, 1, 0}, {1, 1, 0, 0},
    };
    Filter f;
    scan_bits[0] = confirm_high[0] = confirm_low[0] = 0;
    pending_level[0] = 0x0000FFFF;  // the low half reads its reported state: quiet
    for (unsigned r = 0; r < 16; r++) {
        uint32_t bit = 0x80000000u >> r;
        if (r & 8) scan_bits[0] |= bit;
        if (r & 4) pending_level[0] |= bit;
        if (r & 2) confirm_high[0] |= bit;
        if (r & 1) confirm_low[0] |= bit;
    }
    EXPECT_EQ(0, filter_contact_changes(&f.ctx, 32));
    for (unsigned r = 0; r < 16; r++) {
        int bit = 31 - (int)r;
        EXPECT_EQ(Filter::pending(0, bit), out[r].p) << "row " << r;
        EXPECT_EQ((confirm_high[0] >> bit) & 1, out[r].h) << "row " << r;
        EXPECT_EQ((confirm_low[0] >> bit) & 1, out[r].l) << "row " << r;
    }
    // Events: row 0 (s = 0) and row 12 (s = 1), i.e. contacts 1 and 13, in that order.
    auto got = f.first.datagrams();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(contact_of(got[0]), 1u);
    EXPECT_EQ(old_state_of(got[0]), 1u);
    EXPECT_EQ(new_state_of(got[0]), 0u);
    EXPECT_EQ(contact_of(got[1]), 13u);
    EXPECT_EQ(old_state_of(got[1]), 0u);
    EXPECT_EQ(new_state_of(got[1]), 1u);
}

TEST(Filter, ContactClosingInCycle3AndOpeningInCycle9)
{
    struct Step { unsigned level, counter, pending; int event_new_state; };
    const Step steps[] = {
        {0, 3, 1, -1}, {0, 3, 1, -1}, {1, 2, 1, -1}, {1, 1, 1, -1}, {1, 0, 1, -1},
        {1, 3, 0, 1},  {1, 3, 0, -1}, {1, 3, 0, -1}, {0, 2, 0, -1}, {0, 1, 0, -1},
        {0, 0, 0, -1}, {0, 3, 1, 0},  {0, 3, 1, -1},
    };
    Filter f;
    int cycle = 1;
    for (const Step &s : steps) {
        auto got = f.cycle_contact1(s.level);
        EXPECT_EQ(Filter::counter(0, 31), s.counter) << "cycle " << cycle;
        EXPECT_EQ(Filter::pending(0, 31), s.pending) << "cycle " << cycle;
        if (s.event_new_state < 0) {
            EXPECT_TRUE(got.empty()) << "cycle " << cycle;
        } else {
            ASSERT_EQ(got.size(), 1u) << "cycle " << cycle;
            EXPECT_EQ(contact_of(got[0]), 1u);
            EXPECT_EQ(new_state_of(got[0]), (unsigned)s.event_new_state);
            EXPECT_EQ(old_state_of(got[0]), (unsigned)!s.event_new_state);
        }
        cycle++;
    }
}

TEST(Filter, ShortPulsesAreForgottenAndFourReadsAreAccepted)
{
    Filter f;
    const unsigned levels[] = {0, 1, 0, 1, 1, 0, 1, 1, 1};
    const unsigned counters[] = {3, 2, 3, 2, 1, 3, 2, 1, 0};
    for (int i = 0; i < 9; i++) {
        EXPECT_TRUE(f.cycle_contact1(levels[i]).empty()) << "read " << i;
        EXPECT_EQ(Filter::counter(0, 31), counters[i]) << "read " << i;
    }
    auto got = f.cycle_contact1(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(old_state_of(got[0]), 0u);
    EXPECT_EQ(new_state_of(got[0]), 1u);
    // And never again while it stays closed.
    for (int i = 0; i < 8; i++)
        EXPECT_TRUE(f.cycle_contact1(1).empty());
}

TEST(Filter, ContactAlternatingEveryCycleIsNeverReported)
{
    Filter f;
    for (int i = 0; i < 40; i++)
        EXPECT_TRUE(f.cycle_contact1(i & 1).empty()) << "cycle " << i + 1;
}

TEST(Filter, ContactsAcceptedInOneCycleGoOutLowestNumberFirst)
{
    Filter f;
    scan_bits[0] = (0x80000000u >> 6) | (0x80000000u >> 2) | 1;  // contacts 7, 3, 32
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(0, filter_contact_changes(&f.ctx, 32));
        EXPECT_TRUE(f.first.datagrams(20).empty());
    }
    EXPECT_EQ(0, filter_contact_changes(&f.ctx, 32));
    auto got = f.first.datagrams();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(contact_of(got[0]), 3u);
    EXPECT_EQ(contact_of(got[1]), 7u);
    EXPECT_EQ(contact_of(got[2]), 32u);
}

TEST(Filter, ProcessesOnlyTheWordsTheModulesFillAndNumbersFromTheOffset)
{
    Filter f;
    f.ctx.offset = 100;
    // Three modules fill words 0 and 1; word 2 is not looked at.
    scan_bits[1] = 0x80000000;  // contact 33
    scan_bits[2] = 0x80000000;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, filter_contact_changes(&f.ctx, 48));
    auto got = f.first.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(contact_of(got[0]), 133u);
    EXPECT_EQ(pending_level[2], 0xFFFFFFFFu);
    EXPECT_EQ(confirm_low[2], 0xFFFFFFFFu);

    // 32 modules: the last contact, bit 0 of word 15.
    f.ctx.offset = 0;
    scan_bits[15] = 1;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(0, filter_contact_changes(&f.ctx, 512));
    got = f.first.datagrams();
    ASSERT_EQ(got.size(), 2u);  // contact 65 (word 2) is accepted now as well
    EXPECT_EQ(contact_of(got[0]), 65u);
    EXPECT_EQ(contact_of(got[1]), 512u);
}

TEST(Filter, UnfilledHalfWordsNeverReport)
{
    Filter f;
    // One module: the scan leaves bits 15-0 of word 0 at their start value 0.
    for (int i = 0; i < 10; i++) {
        scan_bits[0] = 0xFFFF0000;
        EXPECT_EQ(0, filter_contact_changes(&f.ctx, 16));
    }
    auto got = f.first.datagrams();
    ASSERT_EQ(got.size(), 16u);
    for (const auto &d : got)
        EXPECT_LE(contact_of(d), 16u);
    EXPECT_EQ(pending_level[0] & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(confirm_low[0] & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(confirm_high[0] & 0xFFFF, 0xFFFFu);
}

TEST(Filter, SendFailureStopsAfterUpdatingThatWord)
{
    Filter f;
    f.ctx.destination.sin_port = 0;  // every send is refused
    scan_bits[0] = 0x80000000;
    scan_bits[1] = 0x80000000;
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(0, filter_contact_changes(&f.ctx, 64));
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, filter_contact_changes(&f.ctx, 64));
    EXPECT_EQ(err.text(), "create_event: error sending UDP data: Invalid argument\n");
    EXPECT_EQ(Filter::pending(0, 31), 0u);  // counts as reported
    EXPECT_EQ(Filter::counter(1, 31), 0u);  // word 1 not processed in this cycle
}

}  // namespace
