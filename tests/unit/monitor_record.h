// SPDX-License-Identifier: GPL-2.0-or-later
// Records as kit-monitor's receive loop makes them, for the tests of its outputs.
#pragma once

#include "decode.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

// The datagram's bytes in a heap block of their exact size: a read past it is an ASan finding.
inline monitor_record record_of(const std::vector<uint8_t> &bytes, double seen = 0, const char *sender = "10.0.2.15")
{
    monitor_record record = {};
    uint8_t *copy = (uint8_t *)malloc(bytes.size() + 1);
    if (!bytes.empty())  // an empty vector may have no storage at all
        memcpy(copy, bytes.data(), bytes.size());
    decode_datagram(copy, bytes.size(), &record);
    free(copy);
    record.seen = seen;
    long long us = llround(seen * 1e6);
    record.when = {1765272000 + (time_t)(us / 1000000), (suseconds_t)(us % 1000000)};
    inet_pton(AF_INET, sender, &record.sender);
    record.sender_port = 40123;
    record.port = 15730;
    return record;
}

inline std::vector<uint8_t> frame(uint32_t id, uint8_t dlc, std::vector<uint8_t> data)
{
    std::vector<uint8_t> f = {uint8_t(id >> 24), uint8_t(id >> 16), uint8_t(id >> 8), uint8_t(id), dlc};
    data.resize(8);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

// A contact change of the reporter.
inline std::vector<uint8_t> s88_event(unsigned contact, int occupied)
{
    return frame(0x00230300, 8, {0, 0, (uint8_t)(contact >> 8), (uint8_t)contact, (uint8_t)!occupied, (uint8_t)occupied});
}
