// Addresses as text, names to addresses, the outgoing interface and ICMP echo. Nothing leaves the
// machine: "localhost" is answered locally, the route query sends nothing, pings go to loopback.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/icmp.h"
#include "platform/netaddr.h"
#include "platform/netroute.h"
#include "platform/resolver.h"

namespace {

// A Windows IPv6 socket address (family 23): family, port, flow, address ::1, scope 3.
struct ipv6_loopback {
    unsigned char bytes[28] = {23};
    explicit ipv6_loopback(std::uint16_t port)
    {
        bytes[2] = static_cast<unsigned char>(port >> 8);
        bytes[3] = static_cast<unsigned char>(port);
        bytes[23] = 1;
        bytes[24] = 3; // the scope, which the text leaves out
    }
};

class NetaddrTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(platform_net_startup(), 0);
    }
    void TearDown() override
    {
        platform_net_cleanup();
    }

    static std::u16string text_of(const void *address, std::size_t length)
    {
        char16_t out[64];
        std::uint32_t units = 64;
        if (platform_netaddr_to_text(address, length, out, &units) != 0) {
            return u"(failed)";
        }
        std::u16string text(out);
        return units == text.size() + 1 ? text : u"(wrong length)";
    }
};

TEST_F(NetaddrTest, TextFormsTheNeededLengthAndRefusedAddresses)
{
    EXPECT_EQ(text_of(ipv6_loopback(8080).bytes, 28), u"[::1]:8080");
    EXPECT_EQ(text_of(ipv6_loopback(0).bytes, 28), u"::1");
    unsigned char v4[16];
    ASSERT_EQ(platform_netaddr_ipv4(0x7F000001, 65535, v4, sizeof v4), 16u);
    EXPECT_EQ(text_of(v4, 16), u"127.0.0.1:65535"); // the highest port, not a negative one

    // One unit short: the needed length comes back.
    char16_t out[16];
    std::uint32_t units = 10;
    EXPECT_NE(platform_netaddr_to_text(ipv6_loopback(8080).bytes, 28, out, &units), 0);
    EXPECT_EQ(units, 11u);

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
    int ipv4 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (found[i].family == PLATFORM_FAMILY_IPV4) {
            EXPECT_EQ(found[i].ipv4, 0x7F000001u);
            ++ipv4;
        }
    }
    EXPECT_GE(ipv4, 1);
    // Entries beyond the capacity are dropped, the first ones kept.
    platform_resolved_address first{};
    ASSERT_EQ(platform_resolve_host("localhost", &first, 1, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(first.family, found[0].family);
    // Text that is not UTF-8 (a name cut inside a character) names no host.
    EXPECT_NE(platform_resolve_host("ws\xC3", found, 8, &count), 0);
    EXPECT_EQ(count, 0u);
}

// The test stage's namespace has loopback only: no route out, so no address and the buffer
// untouched.
TEST_F(NetaddrTest, WithoutARouteOutThereIsNoOutgoingInterfaceAddress)
{
    char16_t out[20] = u"unchanged";
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 1);
    EXPECT_EQ(std::u16string(out), u"unchanged");
}

TEST(IcmpTest, LoopbackAnswersEveryHandle)
{
    // Two handles pinging at once each get their own reply.
    platform_icmp *first = platform_icmp_open();
    platform_icmp *second = platform_icmp_open();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    unsigned long first_status = 1;
    unsigned long second_status = 1;
    int first_replies = -1;
    std::thread other(
        [&] { first_replies = platform_icmp_echo(first, 0x7F000001, 2000, &first_status); });
    EXPECT_EQ(platform_icmp_echo(second, 0x7F000001, 2000, &second_status), 1);
    other.join();
    EXPECT_EQ(first_replies, 1);
    EXPECT_EQ(first_status, PLATFORM_ICMP_SUCCESS);
    EXPECT_EQ(second_status, PLATFORM_ICMP_SUCCESS);
    platform_icmp_close(first);
    platform_icmp_close(second);

    unsigned long status = 0;
    EXPECT_EQ(platform_icmp_echo(nullptr, 0x7F000001, 10, &status), 0);
    EXPECT_NE(status, PLATFORM_ICMP_SUCCESS);
}

} // namespace
