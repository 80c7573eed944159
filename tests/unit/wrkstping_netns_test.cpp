// Real interfaces in network namespaces. The workstation ping over ICMP in the namespace of
// tests/netns/wrkstping_netns.sh: 127.0.0.1 answers, 10.99.5.7 (a permanent fake neighbour behind
// a veth pair) never does. The outgoing interface's address, found without sending anything.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "logoff/wrkstping.h"
#include "platform/netroute.h"
#include "support/test_support.h"

namespace {

TEST(WrkstpingNetns, AnsweringAndSilentWorkstationsEvenWhenPingedTogether)
{
    if (std::getenv("NIVO_ICMP_NETNS") == nullptr) {
        GTEST_SKIP() << "runs inside tests/netns/wrkstping_netns.sh (ctest netns.wrkstping)";
    }
    nivo_test::temp_dir dir;
    ASSERT_EQ(nivo_test::open_log(dir), 0);
    log_set_loglevel(LOG_DEBUG);
    wrkstping_set_retry(2);
    wrkstping_set_timeout(300);

    EXPECT_EQ(wrkstping_ping(u"127.0.0.1"), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wrkstping_ping(u"10.99.5.7"), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));

    // Several pings at once, each with its own handle, see only their own replies.
    std::vector<int> results(8, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&results, i] {
            results[i] = wrkstping_ping(i % 2 == 0 ? u"127.0.0.1" : u"10.99.5.7");
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(results[i], i % 2 == 0 ? 1 : 0) << i;
    }
    EXPECT_EQ(nivo_test::count_of(nivo_test::log_text(dir.file("nivo.log")),
                                  "wrkstping_ping: Ping Error: Request Timeout"),
              2u + 4 * 2);
    wrkstping_set_retry(0);
    wrkstping_set_timeout(WRKSTPING_DEFAULT_TIMEOUT);
    log_fini();
}

TEST(NetRoute, AddressOfTheInterfaceTowardsTheOutsideWorld)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    // No default route yet: no answer, and the buffer is left alone.
    char16_t out[20] = u"unchanged";
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 1);
    EXPECT_EQ(nivo_test::u8(out), "unchanged");
    ASSERT_EQ(std::system("ip addr add 10.99.0.5/32 dev lo && "
                          "ip route add default dev lo src 10.99.0.5"),
              0);
    // Loopback holds 127.0.0.1 and then 10.99.0.5: the last one in the table wins.
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 0);
    EXPECT_EQ(nivo_test::u8(out), "10.99.0.5");
    ASSERT_EQ(std::system("ip addr add 10.99.0.6/32 dev lo"), 0);
    EXPECT_EQ(platform_internet_adapter_ip(out, 20), 0);
    EXPECT_EQ(nivo_test::u8(out), "10.99.0.6");
    // A buffer too small for the text is a failure, not a cut address.
    char16_t small[5];
    EXPECT_EQ(platform_internet_adapter_ip(small, 5), -1);
}

} // namespace
