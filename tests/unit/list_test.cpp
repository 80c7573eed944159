// The locked list as a queue and as a stack, and its refusal of invalid handles.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

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

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(nivo_test::open_log(dir), 0);
    }
    void TearDown() override
    {
        log_fini();
    }
    bool logged(const std::string &text) const
    {
        return nivo_test::logged(dir.file("nivo.log"), text);
    }
    nivo_test::temp_dir dir;
};

TEST_F(ListTest, TailAdditionsComeOutInOrder)
{
    int a = 1, b = 2, c = 3;
    list_handle *list = list_init(count_release);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list_add_tail(list, &a), 0);
    EXPECT_EQ(list_add_tail(list, &b), 0);
    EXPECT_EQ(list_add_tail(list, &c), 0);
    EXPECT_EQ(list_remove_head(list), &a);
    EXPECT_EQ(list_remove_head(list), &b);
    EXPECT_EQ(list_remove_head(list), &c);
    EXPECT_TRUE(logged("list_remove_head: last element removed\n"));
    EXPECT_EQ(list_remove_head(list), nullptr);
    EXPECT_TRUE(logged("list_remove_head: list is Empty\n"));
    // The list is usable again after running empty.
    EXPECT_EQ(list_add_tail(list, &a), 0);
    EXPECT_EQ(list_remove_head(list), &a);
    list_fini(list);
}

TEST_F(ListTest, HeadAdditionsComeOutAsAStack)
{
    int a = 1, b = 2;
    list_handle *list = list_init(count_release);
    EXPECT_EQ(list_add_head(list, &a), 0);
    EXPECT_TRUE(logged("list_add_head: first element added\n"));
    EXPECT_EQ(list_add_head(list, &b), 0);
    EXPECT_EQ(list_remove_head(list), &b);
    EXPECT_EQ(list_remove_head(list), &a);
    list_fini(list);
}

TEST_F(ListTest, FiniReleasesWhatIsLeftAndRetiresTheHandle)
{
    g_released = 0;
    int a = 1, b = 2;
    list_handle *list = list_init(count_release);
    list_add_tail(list, &a);
    list_add_tail(list, &b);
    list_fini(list);
    EXPECT_EQ(g_released, 2);
    EXPECT_TRUE(logged("list_fini: list handle freed\n"));

    // Every operation refuses the ended handle, with its own message.
    EXPECT_EQ(list_add_head(list, &a), -1);
    EXPECT_EQ(list_add_tail(list, &a), -1);
    EXPECT_EQ(list_remove_head(list), nullptr);
    EXPECT_TRUE(logged("list_add_head: invalid list handle\n"));
    EXPECT_TRUE(logged("list_add_tail: invalid list handle\n"));
    EXPECT_TRUE(logged("list_remove_head: invalid list handle\n"));
    list_fini(list); // ignored
    EXPECT_EQ(list_add_tail(nullptr, &a), -1);

    // Without a release function the data is released with std::free.
    list_handle *owned = list_init();
    list_add_tail(owned, std::malloc(16));
    list_fini(owned);
}

TEST_F(ListTest, ConcurrentProducersLoseNothing)
{
    log_set_loglevel(LOG_ERROR); // keep the trace lines out of this run
    list_handle *list = list_init(count_release);
    constexpr int per_thread = 2000;
    static int values[2][per_thread];
    std::vector<std::thread> producers;
    for (int t = 0; t < 2; ++t) {
        producers.emplace_back([t, list] {
            for (int i = 0; i < per_thread; ++i) {
                list_add_tail(list, &values[t][i]);
            }
        });
    }
    int taken = 0;
    int next[2] = {0, 0};
    bool in_order = true;
    for (int spins = 0; taken < 2 * per_thread && spins < 10000000; ++spins) {
        auto *p = static_cast<int *>(list_remove_head(list));
        if (p == nullptr) {
            continue;
        }
        int t = p >= values[1] ? 1 : 0;
        in_order = in_order && p == &values[t][next[t]];
        ++next[t];
        ++taken;
    }
    for (auto &producer : producers) {
        producer.join();
    }
    EXPECT_EQ(taken, 2 * per_thread);
    EXPECT_TRUE(in_order); // each producer's items keep their order
    list_fini(list);
    log_set_loglevel(LOG_DEBUG);
}

} // namespace
