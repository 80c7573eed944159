// The ICMP echo on loopback, with several handles at once.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/icmp.h"

namespace {

TEST(Icmp, LoopbackAnswersEveryHandle)
{
    // The service runs as root (or with CAP_NET_RAW) or where ping sockets are allowed; so do
    // the tests.
    platform_icmp *probe = platform_icmp_open();
    ASSERT_NE(probe, nullptr) << "no ICMP socket: run as root or allow ping sockets";
    platform_icmp_close(probe);

    std::vector<std::thread> threads;
    int answered[4] = {};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &answered] {
            platform_icmp *icmp = platform_icmp_open();
            for (int i = 0; i < 5 && icmp != nullptr; ++i) {
                unsigned long status = 99;
                if (platform_icmp_echo(icmp, 0x7F000001u, 2000, &status) == 1 &&
                    status == PLATFORM_ICMP_SUCCESS) {
                    ++answered[t];
                }
            }
            platform_icmp_close(icmp);
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    for (int count : answered) {
        EXPECT_EQ(count, 5); // each handle saw its own five replies
    }
}

} // namespace
