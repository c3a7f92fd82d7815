// SPDX-License-Identifier: GPL-2.0-or-later
#include "capture.h"
#include "reporter.h"
#include "reporter_fixture.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

TEST(CreateEvent, EmptyMaskSendsNothing)
{
    Reporter r;
    EXPECT_EQ(0, create_event(&r.ctx, 0, 0, 0xFFFFFFFF));
    EXPECT_TRUE(r.first.datagrams(20).empty());
}

TEST(CreateEvent, BuildsTheDocumentedFrame)
{
    Reporter r;
    EXPECT_EQ(0, create_event(&r.ctx, 0, 0x80000000, 0x80000000));
    auto got = r.first.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x00, 0x23, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00}));
}

TEST(CreateEvent, HashAndEventIdGoIntoIdentifierAndFirstDataBytes)
{
    Reporter r;
    r.ctx.hash = 0x1234;
    r.ctx.event_id = 258;
    EXPECT_EQ(0, create_event(&r.ctx, 0, 1, 0));
    auto got = r.first.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{0x00, 0x23, 0x13, 0x34, 0x08, 0x01, 0x02, 0x00, 0x20, 0x01, 0x00, 0x00, 0x00}));
    r.ctx.hash = 0xFFFF;  // bits 8 and 9 set anyway, nothing above the low 16
    EXPECT_EQ(0, create_event(&r.ctx, 0, 1, 0));
    got = r.first.datagrams();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Bytes(got[0].begin(), got[0].begin() + 4), (Bytes{0x00, 0x23, 0xFF, 0xFF}));
}

TEST(CreateEvent, FullWordGoesOutInAscendingContactOrderWithItsLevels)
{
    Reporter r;
    const uint32_t levels = 0xA5C3000F;
    EXPECT_EQ(0, create_event(&r.ctx, 0, 0xFFFFFFFF, levels));
    auto got = r.first.datagrams();
    ASSERT_EQ(got.size(), 32u);
    for (unsigned i = 0; i < 32; i++) {
        unsigned level = (levels >> (31 - i)) & 1;
        EXPECT_EQ(contact_of(got[i]), i + 1);
        EXPECT_EQ(got[i][9], level ^ 1) << "old state of contact " << i + 1;
        EXPECT_EQ(got[i][10], level) << "new state of contact " << i + 1;
    }
}

TEST(CreateEvent, ContactNumbersWrapModulo65536)
{
    Reporter r;
    EXPECT_EQ(0, create_event(&r.ctx, 65534, 0xC0000000, 0));
    auto got = r.first.datagrams();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(contact_of(got[0]), 65535u);
    EXPECT_EQ(contact_of(got[1]), 0u);
    // A negative offset counts down from the base the same way.
    EXPECT_EQ(0, create_event(&r.ctx, -5, 0x80000000, 0));
    EXPECT_EQ(contact_of(r.first.datagrams()[0]), 65532u);
}

TEST(CreateEvent, SecondPortGetsEveryFrameToo)
{
    Reporter r;
    r.with_second_port();
    EXPECT_EQ(0, create_event(&r.ctx, 32, 0x00010001, 0x00010000));
    auto a = r.first.datagrams(), b = r.second.datagrams();
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(contact_of(a[0]), 48u);
    EXPECT_EQ(contact_of(a[1]), 64u);
}

TEST(CreateEvent, FailureOnSecondSocketEndsTheCallAfterTheFirstSend)
{
    Reporter r;
    r.with_second_port();
    r.ctx.second_destination.sin_port = 0;  // the system refuses to send to port 0
    r.ctx.background = 0;
    CaptureFd out(STDOUT_FILENO);
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, create_event(&r.ctx, 0, 0xC0000000, 0));
    EXPECT_EQ(err.text(), "create_event: error sending UDP data (second socket): Invalid argument\n");
    EXPECT_EQ(out.text(), "");  // a frame that failed is not traced
    auto got = r.first.datagrams();
    ASSERT_EQ(got.size(), 1u);  // contact 1 went out once, contact 2 never
    EXPECT_EQ(contact_of(got[0]), 1u);
}

TEST(CreateEvent, FailureOnFirstSocketIsReported)
{
    Reporter r;
    r.ctx.destination.sin_port = 0;
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, create_event(&r.ctx, 0, 1, 1));
    EXPECT_EQ(err.text(), "create_event: error sending UDP data: Invalid argument\n");
}

TEST(CreateEvent, TracesEachFrameInTheForegroundOnly)
{
    Reporter r;
    r.ctx.verbose = 1;
    {
        CaptureFd out(STDOUT_FILENO);
        EXPECT_EQ(0, create_event(&r.ctx, 0, 1, 1));
        EXPECT_EQ(out.text(), "");
    }
    r.ctx.background = 0;
    r.ctx.cycle_count = 4;
    CaptureFd out(STDOUT_FILENO);
    EXPECT_EQ(0, create_event(&r.ctx, 0, 0x80000001, 0x80000000));
    std::regex line("[0-9:.]{15} \\[0x00000004\\] ->S88>UDP  CANID 0x00230300   \\[8\\] "
                    "00 00 00 (01 00 01|20 01 00) 00 00 \n");
    std::string text = out.text();
    size_t nl = text.find('\n');
    EXPECT_TRUE(std::regex_match(text.substr(0, nl + 1), line)) << text;
    EXPECT_TRUE(std::regex_match(text.substr(nl + 1), line)) << text;
}

}  // namespace
