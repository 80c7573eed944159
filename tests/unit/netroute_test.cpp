// The outgoing interface's address, found without sending anything: checked in a network
// namespace of its own, whose only interface (loopback) carries the default route, so that the
// answer is known (root only).

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/netroute.h"
#include "support/test_support.h"

using nivo_test::u8;

TEST(NetRoute, AddressOfTheInterfaceTowardsTheOutsideWorld)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    // No default route yet: no answer, and the buffer is left alone.
    char16_t out[20] = u"unchanged";
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 1);
    EXPECT_EQ(u8(out), "unchanged");
    ASSERT_EQ(std::system("ip addr add 10.99.0.5/32 dev lo && "
                          "ip route add default dev lo src 10.99.0.5"),
              0);
    // Loopback holds 127.0.0.1 and then 10.99.0.5: the last one in the table wins.
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 0);
    EXPECT_EQ(u8(out), "10.99.0.5");
    ASSERT_EQ(std::system("ip addr add 10.99.0.6/32 dev lo"), 0);
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 0);
    EXPECT_EQ(u8(out), "10.99.0.6");
    // A buffer too small for the text is a failure, not a cut address.
    char16_t small[5];
    EXPECT_EQ(platform_internet_adapter_ip(small, 5), -1);
}
