// SPDX-License-Identifier: GPL-2.0-or-later
#include "broadcast.h"
#include "capture.h"

#include <arpa/inet.h>
#include <deque>
#include <gtest/gtest.h>
#include <string>

namespace {

// An interface list as getifaddrs would give it, built entry by entry.
class IfList {
public:
    IfList &ipv4(const char *name, const char *address, const char *broadcast)
    {
        Entry &e = add(name);
        set(&e.addr, address);
        e.ifa.ifa_addr = (struct sockaddr *)&e.addr;
        if (broadcast) {
            set(&e.bcast, broadcast);
            e.ifa.ifa_broadaddr = (struct sockaddr *)&e.bcast;
        }
        return *this;
    }
    IfList &ipv6(const char *name)
    {
        Entry &e = add(name);
        e.addr6.sin6_family = AF_INET6;
        e.ifa.ifa_addr = (struct sockaddr *)&e.addr6;
        return *this;
    }
    IfList &no_address(const char *name)
    {
        add(name);
        return *this;
    }
    const struct ifaddrs *head() const { return entries_.empty() ? nullptr : &entries_.front().ifa; }

private:
    struct Entry {
        struct ifaddrs ifa = {};
        struct sockaddr_in addr = {}, bcast = {};
        struct sockaddr_in6 addr6 = {};
        std::string name;
    };
    Entry &add(const char *name)
    {
        entries_.emplace_back();
        Entry &e = entries_.back();
        e.name = name;
        e.ifa.ifa_name = const_cast<char *>(e.name.c_str());
        if (entries_.size() > 1)
            entries_[entries_.size() - 2].ifa.ifa_next = &e.ifa;
        return e;
    }
    static void set(struct sockaddr_in *sa, const char *text)
    {
        sa->sin_family = AF_INET;
        inet_pton(AF_INET, text, &sa->sin_addr);
    }
    std::deque<Entry> entries_;  // stable addresses for the links
};

std::string resolve(const IfList &list, const char *bcast_interface, const char *given = "")
{
    char address[DEST_TEXT_SIZE] = {};
    strcpy(address, given);
    resolve_broadcast_address(list.head(), bcast_interface, address);
    return address;
}

TEST(BcastOption, FirstCharacterDecidesAddressOrInterface)
{
    char address[DEST_TEXT_SIZE] = {}, iface[DEST_TEXT_SIZE] = {};
    EXPECT_EQ(0, take_bcast_option("192.168.1.255", address, iface));
    EXPECT_EQ(0, take_bcast_option("br-lan", address, iface));
    EXPECT_STREQ(address, "192.168.1.255");
    EXPECT_STREQ(iface, "br-lan");
    EXPECT_EQ(0, take_bcast_option("9lives", address, iface));
    EXPECT_STREQ(address, "9lives");
}

TEST(BcastOption, ThirtyNineCharactersFitFortyAreRefused)
{
    char address[DEST_TEXT_SIZE] = {}, iface[DEST_TEXT_SIZE] = {};
    std::string ok(39, 'e'), too_long(40, 'e');
    EXPECT_EQ(0, take_bcast_option(ok.c_str(), address, iface));
    EXPECT_EQ(ok, iface);
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, take_bcast_option(too_long.c_str(), address, iface));
    EXPECT_EQ(err.text(), "UDP broadcast address or interface error: " + too_long + "\n");
    EXPECT_EQ(ok, iface);  // unchanged
}

TEST(Resolve, AddressGivenBeatsInterfaceList)
{
    IfList list;
    list.ipv4("eth0", "10.1.0.5", "10.1.255.255");
    EXPECT_EQ(resolve(list, "eth0", "10.0.0.255"), "10.0.0.255");
}

TEST(Resolve, PrefixMatchesAndLastEntryWins)
{
    IfList list;
    list.ipv4("lo", "127.0.0.1", nullptr)
        .ipv4("eth0", "192.168.1.2", "192.168.1.255")
        .ipv6("eth0")
        .no_address("eth1")
        .ipv4("eth1", "10.0.0.2", "10.0.0.255")
        .ipv4("wlan0", "172.16.0.9", "172.16.255.255");
    EXPECT_EQ(resolve(list, "eth"), "10.0.0.255");
    EXPECT_EQ(resolve(list, "eth0"), "192.168.1.255");
    EXPECT_EQ(resolve(list, ""), "172.16.255.255");  // no -b: last IPv4 entry of all
    EXPECT_EQ(resolve(list, "lo"), "");              // IPv4 but no broadcast address
    EXPECT_EQ(resolve(list, "br-lan"), "");
}

TEST(Resolve, EmptyListLeavesTextEmpty)
{
    IfList list;
    EXPECT_EQ(resolve(list, ""), "");
}

TEST(ConvertDestination, RefusesAnythingButDottedIpv4)
{
    struct in_addr a;
    EXPECT_EQ(0, convert_destination("192.168.1.255", &a));
    EXPECT_EQ(a.s_addr, inet_addr("192.168.1.255"));
    for (const char *bad : {"", "9lives", "256.1.1.1", "::1"}) {
        CaptureFd err(STDERR_FILENO);
        EXPECT_EQ(-1, convert_destination(bad, &a)) << bad;
        EXPECT_EQ(err.text(), "UDP IP invalid\n") << bad;
    }
    // An interface named with -b that gave nothing is named; an address given is not repeated.
    for (const char *name : {"br-lan", ""}) {
        CaptureFd err(STDERR_FILENO);
        EXPECT_EQ(-1, convert_destination("", &a, name));
        EXPECT_EQ(err.text(), std::string("UDP IP invalid\n") +
                                  (*name ? "no interface br-lan with an IPv4 broadcast address\n" : ""));
    }
    CaptureFd err(STDERR_FILENO);
    EXPECT_EQ(-1, convert_destination("300.1.1.1", &a, "eth0"));
    EXPECT_EQ(err.text(), "UDP IP invalid\n");
}

TEST(BroadcastSocket, OpensWithBroadcastOn)
{
    int fd = open_broadcast_socket("socket %s\n", "option %s\n");
    ASSERT_GE(fd, 0);
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(0, getsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, &len));
    EXPECT_EQ(on, 1);
    close(fd);
}

}  // namespace
