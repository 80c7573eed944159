// Addresses as text, names to addresses and the outgoing interface, through Winsock and the IP
// helper library. Nothing leaves loopback: "localhost" is answered locally and the route query
// sends nothing.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/netaddr.h"
#include "platform/netroute.h"
#include "platform/resolver.h"

namespace {

std::string
narrow(const char16_t *text)
{
    std::string out;
    for (; *text != 0; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

// A Windows IPv6 socket address (family 23): family, port, flow, address, scope.
struct ipv6_address {
    unsigned char bytes[28] = {};
    ipv6_address(std::uint16_t port, unsigned char last_byte)
    {
        bytes[0] = 23;
        bytes[2] = static_cast<unsigned char>(port >> 8);
        bytes[3] = static_cast<unsigned char>(port);
        bytes[8 + 15] = last_byte;
        bytes[24] = 3; // a scope, which the text leaves out
    }
};

class NetaddrTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(platform_net_startup(), 0); }
    void TearDown() override { platform_net_cleanup(); }

    static std::string text_of(const void *address, std::size_t length)
    {
        char16_t out[64];
        std::uint32_t units = 64;
        if (platform_netaddr_to_text(address, length, out, &units) != 0) {
            return "(failed)";
        }
        std::string text = narrow(out);
        return units == text.size() + 1 ? text : "(wrong length)";
    }
};

TEST_F(NetaddrTest, TextFormsAndTheTooSmallBuffer)
{
    unsigned char v4[16];
    std::size_t v4_length = platform_netaddr_ipv4(0x0A010203, 0, v4, sizeof v4);
    ASSERT_EQ(v4_length, 16u);
    EXPECT_EQ(text_of(v4, v4_length), "10.1.2.3");
    platform_netaddr_ipv4(0x0A010203, 65535, v4, sizeof v4);
    EXPECT_EQ(text_of(v4, v4_length), "10.1.2.3:65535");
    EXPECT_EQ(platform_netaddr_ipv4(1, 1, v4, 15), 0u);

    EXPECT_EQ(text_of(ipv6_address(8080, 1).bytes, 28), "[::1]:8080");
    EXPECT_EQ(text_of(ipv6_address(0, 1).bytes, 28), "::1");

    // Too small by one unit: the needed length comes back and nothing is claimed written.
    char16_t out[16] = u"untouched";
    std::uint32_t units = 10;
    EXPECT_NE(platform_netaddr_to_text(ipv6_address(8080, 1).bytes, 28, out, &units), 0);
    EXPECT_EQ(units, 11u);
    units = 11;
    EXPECT_EQ(platform_netaddr_to_text(ipv6_address(8080, 1).bytes, 28, out, &units), 0);
    EXPECT_EQ(narrow(out), "[::1]:8080");

    // Another family, or an address shorter than its family's, is refused.
    unsigned char other[16] = {1};
    units = 16;
    EXPECT_NE(platform_netaddr_to_text(other, sizeof other, out, &units), 0);
    EXPECT_NE(platform_netaddr_to_text(v4, 8, out, &units), 0);
}

TEST_F(NetaddrTest, LocalhostResolvesToLoopbackInResolverOrder)
{
    platform_resolved_address found[8] = {};
    std::size_t count = 0;
    ASSERT_EQ(platform_resolve_host("localhost", found, 8, &count), 0);
    ASSERT_GE(count, 1u);
    bool ipv4 = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (found[i].family == PLATFORM_FAMILY_IPV4) {
            EXPECT_EQ(found[i].ipv4, 0x7F000001u);
            ipv4 = true;
        }
    }
    EXPECT_TRUE(ipv4);
    // Entries beyond the capacity are dropped, the first ones kept.
    platform_resolved_address first{};
    ASSERT_EQ(platform_resolve_host("localhost", &first, 1, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(first.family, found[0].family);
    // Text that is not UTF-8 names no host, and is not looked up.
    EXPECT_NE(platform_resolve_host("ws\xC3", found, 8, &count), 0);
    EXPECT_EQ(count, 0u);
}

TEST_F(NetaddrTest, OutgoingInterfaceAddressIsDottedTextOrNothing)
{
    char16_t out[20] = u"unchanged";
    int rc = platform_internet_adapter_ip(out, 20);
    ASSERT_TRUE(rc == 0 || rc == 1);
    if (rc == 1) {
        EXPECT_EQ(narrow(out), "unchanged");
        return;
    }
    std::string text = narrow(out);
    unsigned a, b, c, d;
    char end;
    EXPECT_EQ(std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &end), 4) << text;
    char16_t small[7] = u"small";
    EXPECT_EQ(platform_internet_adapter_ip(small, 7), -1);
    EXPECT_EQ(narrow(small), "small");
}

} // namespace
