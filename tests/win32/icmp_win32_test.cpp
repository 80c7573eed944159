// ICMP echo through the IP helper library, to loopback only.

#include <gtest/gtest.h>

#include <thread>

#include "platform/icmp.h"

namespace {

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
