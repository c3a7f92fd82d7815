// SPDX-License-Identifier: GPL-2.0-or-later
#include "live.h"
#include "monitor_record.h"
#include "options.h"
#include "tally.h"
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

TEST(WebState, ContactsCountsBoardsLossesAndTheNewestLinesAsJson)
{
    static live_view view;
    const struct {
        unsigned contact;
        int occupied;
        double at;
    } events[] = {{13, 1, 10.0}, {14, 1, 10.5}, {14, 0, 11.0}};
    for (const auto &e : events) {
        monitor_record record = record_of(s88_event(e.contact, e.occupied), e.at);
        live_note(&view, &record);
    }
    for (int i = 0; i < 60; i++) {
        monitor_record record = record_of({(uint8_t)i}, 11.0 + i / 100.0, "127.0.0.3");
        live_note(&view, &record);
    }
    tally = {};
    tally.kinds[KIND_S88_EVENT] = 3;
    tally.kinds[KIND_BAD_LENGTH] = 60;
    tally.port_count = 2;
    tally.ports[0] = {15730, 63, 0};
    tally.ports[1] = {7655, 0, 7};
    tally.lines_not_shown = 2;
    tally.captures[CAPTURE_PCAP] = {"s.pcap", 5, "No space left on device"};
    char *text = web_state_json(&view, 12.0);
    ASSERT_NE(text, nullptr);
    json_error_t error;
    json_t *state = json_loads(text, 0, &error);
    free(text);
    ASSERT_NE(state, nullptr) << error.text;
    auto dumped = [&](const char *key) {
        char *part = json_dumps(json_object_get(state, key), JSON_COMPACT | JSON_SORT_KEYS | JSON_REAL_PRECISION(3));
        std::string result = part ? part : "";
        free(part);
        return result;
    };
    EXPECT_EQ(dumped("contacts"), "{\"13\":1,\"14\":0}");  // the numbers the events carry
    EXPECT_EQ(dumped("counts"), "{\"bad-length\":60,\"beacon\":0,\"frame\":0,\"loco-direction\":0,"
                                "\"loco-function\":0,\"loco-speed\":0,\"s88-event\":3,\"start-stop\":0}");
    EXPECT_EQ(json_integer_value(json_object_get(state, "datagrams")), 63);
    EXPECT_EQ(dumped("lost"), "{\"captures\":{\"s.pcap\":5},\"dropped\":7,\"frames_not_captured\":5,"
                              "\"lines_not_shown\":2}");
    EXPECT_EQ(dumped("ports"), "[{\"datagrams\":63,\"dropped\":0,\"port\":15730},"
                               "{\"datagrams\":0,\"dropped\":7,\"port\":7655}]");
    EXPECT_EQ(dumped("boards"),
              "[{\"address\":\"10.0.2.15\",\"beacon\":\"no beacon\",\"beacon_age\":null,\"beacon_period\":null,"
              "\"beacons\":0,\"contacts\":[13,14],\"frames\":3,\"s88_events\":3,\"silent_since\":null},"
              "{\"address\":\"127.0.0.3\",\"beacon\":\"no beacon\",\"beacon_age\":null,\"beacon_period\":null,"
              "\"beacons\":0,\"contacts\":null,\"frames\":0,\"s88_events\":0,\"silent_since\":null}]");
    json_t *module = json_array_get(json_object_get(state, "modules"), 0);
    EXPECT_EQ(json_integer_value(json_array_get(json_object_get(module, "occupied"), 12)), 1);
    EXPECT_DOUBLE_EQ(json_real_value(json_array_get(json_object_get(module, "age"), 13)), 1.0);
    EXPECT_TRUE(json_is_null(json_array_get(json_object_get(module, "age"), 0)));  // never reported
    json_t *row = json_array_get(json_object_get(state, "ids"), 0);
    EXPECT_STREQ(json_string_value(json_object_get(row, "id")), "00230300");
    EXPECT_STREQ(json_string_value(json_object_get(row, "kind")), "s88-event");
    EXPECT_STREQ(json_string_value(json_object_get(row, "data")), "00 00 00 0E 01 00 00 00");
    json_t *recent = json_object_get(state, "recent");
    ASSERT_EQ(json_array_size(recent), (size_t)LIVE_RECENT);  // the newest 50, oldest first
    EXPECT_NE(std::string(json_string_value(json_array_get(recent, 0))).find(" 127.0.0.3:40123 -> 15730 bad-length bytes=1"),
              std::string::npos);
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
    const monitor_output *output = waveform_output(path, &t);
    if (!output)
        _exit(2);
    struct stat st;
    stat(path, &st);
    struct rlimit limit = {(rlim_t)st.st_size + 12, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    for (unsigned c = 1; c <= 20; c++) {
        monitor_record record = record_of(s88_event(c, 1));
        record.when = {100 + (time_t)c, 0};
        output->take(&record);
    }
    unlink(path);
    // The events after the one cut short are counted, and so is that one.
    _exit(tally.captures[CAPTURE_WAVEFORM].not_captured == 19 ? 0 : 3);
}

TEST(Waveform, AFullDiskEndsTheFileNotTheRun)
{
    EXPECT_EXIT(run_into_a_full_disk(), testing::ExitedWithCode(0),
                "^cannot write /tmp/kit-vcd-.*: File too large; it gets no more frames\n$");
}

}  // namespace
