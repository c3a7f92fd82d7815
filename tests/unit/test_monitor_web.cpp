#include "live.h"
#include "monitor.h"
#include "waveform.h"
#include "web.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <jansson.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void event(uint8_t *frame, unsigned contact, int occupied)
{
    const uint8_t f[13] = {0x00, 0x23, 0x03, 0x00, 8, 0, 0, (uint8_t)(contact >> 8), (uint8_t)contact,
                           (uint8_t)!occupied, (uint8_t)occupied, 0, 0};
    memcpy(frame, f, 13);
}

TEST(WebAddress, PortAloneIsEveryAddress)
{
    struct sockaddr_in a;
    ASSERT_EQ(parse_web_address("8080", &a), 0);
    EXPECT_EQ(ntohs(a.sin_port), 8080);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_ANY));
    ASSERT_EQ(parse_web_address("127.0.0.1:65535", &a), 0);
    EXPECT_EQ(a.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(a.sin_port), 65535);
    for (const char *bad : {"", "0", "65536", "80x", ":80", "127.0.0.1:", "localhost:80", "1.2.3:80",
                            "127.0.0.1:80:80", "[::1]:80"})
        EXPECT_EQ(parse_web_address(bad, &a), -1) << bad;
}

TEST(WebState, ContactsCountsAndTheNewestLinesAsJson)
{
    static live_view view;
    uint8_t frame[13];
    event(frame, 13, 1);
    live_note_frame(&view, frame, 10.0);
    event(frame, 14, 1);
    live_note_frame(&view, frame, 10.5);
    event(frame, 14, 0);
    live_note_frame(&view, frame, 11.0);
    for (int i = 0; i < 60; i++)
        live_note_line(&view, std::to_string(i).c_str());
    unsigned long counts[KIND_COUNT] = {3, 1};
    char *text = web_state_json(&view, counts, 12.0);
    ASSERT_NE(text, nullptr);
    json_error_t error;
    json_t *state = json_loads(text, 0, &error);
    free(text);
    ASSERT_NE(state, nullptr) << error.text;
    char *contacts = json_dumps(json_object_get(state, "contacts"), JSON_COMPACT | JSON_SORT_KEYS);
    EXPECT_STREQ(contacts, "{\"13\":1,\"14\":0}");  // the numbers the events carry
    free(contacts);
    json_t *kinds = json_object_get(state, "counts");
    EXPECT_EQ(json_integer_value(json_object_get(kinds, "s88-event")), 3);
    EXPECT_EQ(json_integer_value(json_object_get(kinds, "beacon")), 1);
    EXPECT_EQ(json_integer_value(json_object_get(kinds, "bad-length")), 0);
    EXPECT_EQ(json_integer_value(json_object_get(state, "datagrams")), 4);
    json_t *module = json_array_get(json_object_get(state, "modules"), 0);
    EXPECT_EQ(json_integer_value(json_array_get(json_object_get(module, "occupied"), 12)), 1);
    EXPECT_DOUBLE_EQ(json_real_value(json_array_get(json_object_get(module, "age"), 13)), 1.0);
    EXPECT_TRUE(json_is_null(json_array_get(json_object_get(module, "age"), 0)));
    json_t *row = json_array_get(json_object_get(state, "ids"), 0);
    EXPECT_STREQ(json_string_value(json_object_get(row, "id")), "00230300");
    EXPECT_STREQ(json_string_value(json_object_get(row, "kind")), "s88-event");
    EXPECT_STREQ(json_string_value(json_object_get(row, "data")), "00 00 00 0E 01 00 00 00");
    json_t *recent = json_object_get(state, "recent");
    ASSERT_EQ(json_array_size(recent), (size_t)LIVE_RECENT_LINES);  // the newest 50, oldest first
    EXPECT_STREQ(json_string_value(json_array_get(recent, 0)), "10");
    EXPECT_STREQ(json_string_value(json_array_get(recent, 49)), "59");
    json_decref(state);
}

TEST(Waveform, WireNamesAndIdentifiers)
{
    char line[WAVEFORM_SLOT_SIZE];
    format_waveform_wire(17, line, sizeof(line));
    EXPECT_STREQ(line, "$var wire 1 2 m2_c1 $end");
    format_waveform_wire(16, line, sizeof(line));
    EXPECT_STREQ(line, "$var wire 1 1 m1_c16 $end");
    // The largest number still fits its slot, with a 3-character identifier.
    EXPECT_EQ(format_waveform_wire(65535, line, sizeof(line)), strlen("$var wire 1 2H( m4096_c15 $end"));
    EXPECT_STREQ(line, "$var wire 1 2H( m4096_c15 $end");
}

// A run whose file stops growing after its header and one change: a file size limit plays
// the full disk.
void run_into_a_full_disk()
{
    signal(SIGXFSZ, SIG_IGN);
    char path[] = "/tmp/kit-vcd-XXXXXX";
    close(mkstemp(path));
    struct timeval t = {100, 0};
    if (open_waveform(path, &t) < 0)
        _exit(2);
    struct stat st;
    stat(path, &st);
    struct rlimit limit = {(rlim_t)st.st_size + 12, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    uint8_t frame[13];
    for (unsigned c = 1; c <= 20; c++) {
        t.tv_sec++;
        event(frame, c, 1);
        waveform_frame(frame, &t);
    }
    unlink(path);
    _exit(0);
}

TEST(Waveform, AFullDiskEndsTheFileNotTheRun)
{
    EXPECT_EXIT(run_into_a_full_disk(), testing::ExitedWithCode(0),
                "^cannot write /tmp/kit-vcd-.*: File too large; it gets no more frames\n$");
}

}  // namespace
