// The locked list as a queue and as a stack, its release of what is left, and its refusal of an
// ended handle. Concurrent use is tested through the update queue built on it.

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/list.h"
#include "common/log.h"
#include "support/test_support.h"

namespace {

int g_released = 0;
void
count_release(void *)
{
    ++g_released;
}

using List = nivo_test::log_fixture;

TEST_F(List, QueueAndStackOrderReleaseAtFiniAndAnEndedHandle)
{
    int a = 1, b = 2, c = 3;
    list_handle *list = list_init(count_release);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list_add_tail(list, &a), 0);
    EXPECT_EQ(list_add_tail(list, &b), 0);
    EXPECT_EQ(list_add_head(list, &c), 0);
    EXPECT_EQ(list_remove_head(list), &c);
    EXPECT_EQ(list_remove_head(list), &a);
    EXPECT_EQ(list_remove_head(list), &b);
    EXPECT_EQ(list_remove_head(list), nullptr);
    // Usable again after running empty; fini releases what is left.
    g_released = 0;
    EXPECT_EQ(list_add_tail(list, &a), 0);
    EXPECT_EQ(list_add_head(list, &b), 0);
    list_fini(list);
    EXPECT_EQ(g_released, 2);

    // Every operation refuses the ended handle, with its own message.
    EXPECT_EQ(list_add_head(list, &a), -1);
    EXPECT_EQ(list_add_tail(list, &a), -1);
    EXPECT_EQ(list_remove_head(list), nullptr);
    for (const char *op : {"list_add_head", "list_add_tail", "list_remove_head"}) {
        EXPECT_TRUE(logged(std::string(op) + ": invalid list handle\n"));
    }
    list_fini(list); // ignored
    EXPECT_EQ(list_add_tail(nullptr, &a), -1);

    // Without a release function the data is released with std::free.
    list_handle *owned = list_init();
    list_add_tail(owned, std::malloc(16));
    list_fini(owned);
}

} // namespace
