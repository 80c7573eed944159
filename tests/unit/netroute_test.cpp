// The outgoing interface's address, found without sending anything: checked in a network
// namespace of its own, whose only interface (loopback) carries the default route, so that the
// answer is known (root only).

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/netroute.h"
#include "support/test_support.h"

namespace {

// In the child: 0 when every check passed, else the number of the failed check.
int
check_in_namespace()
{
    if (unshare(CLONE_NEWNET) != 0) {
        return 10;
    }
    char16_t out[20] = u"unchanged";
    // Only a loopback interface that is down: no route.
    if (platform_internet_adapter_ip(out, 20) != 1 || nivo_test::u8(out) != "unchanged") {
        return 1;
    }
    if (std::system("ip link set lo up && ip addr add 10.99.0.5/32 dev lo && "
                    "ip route add default dev lo src 10.99.0.5") != 0) {
        return 11;
    }
    // Loopback holds 127.0.0.1 and then 10.99.0.5: the last one in the table wins.
    if (platform_internet_adapter_ip(out, 20) != 0 || nivo_test::u8(out) != "10.99.0.5") {
        return 2;
    }
    if (std::system("ip addr add 10.99.0.6/32 dev lo") != 0) {
        return 12;
    }
    if (platform_internet_adapter_ip(out, 20) != 0 || nivo_test::u8(out) != "10.99.0.6") {
        return 3;
    }
    // A buffer too small for the text is a failure, not a cut address.
    char16_t small[5];
    if (platform_internet_adapter_ip(small, 5) != -1) {
        return 4;
    }
    return 0;
}

} // namespace

TEST(NetRoute, AddressOfTheInterfaceTowardsTheOutsideWorld)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a network namespace needs root";
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(check_in_namespace());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
}
