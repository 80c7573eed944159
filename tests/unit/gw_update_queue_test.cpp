// The locked list, and the update queue built on it: order, a waiting consumer woken at once, the
// refusals, and the bound that holds replays back but never a live update.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/list.h"
#include "common/log.h"
#include "support/test_support.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userinfo.h"

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
    EXPECT_EQ(list_add_tail(nullptr, &a), -1);
    EXPECT_EQ(list_remove_head(list), nullptr);
    for (const char *op : {"list_add_head", "list_add_tail", "list_remove_head"}) {
        EXPECT_TRUE(logged(std::string(op) + ": invalid list handle\n"));
    }
    list_fini(list); // ignored

    // Without a release function the data is released with std::free.
    list_handle *owned = list_init();
    list_add_tail(owned, std::malloc(16));
    list_fini(owned);
}

class UpdateQueue : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        log_set_loglevel(LOG_DEBUG);
    }
    void TearDown() override
    {
        gw_update_queue_fini();
        gw_update_queue_set_bound(GW_UPDATE_QUEUE_BOUND);
        log_fixture::TearDown();
    }
    static UserInfo *record(std::int32_t row)
    {
        UserInfo *r = userdb_allocate_userinfo();
        r->RowID = row;
        r->Flags = UI_FLAG_LOGON;
        return r;
    }
};

TEST_F(UpdateQueue, AWaitingConsumerTakesANewRecordAtOnceAndIsReleasedByFini)
{
    // Refused before init, and a null record; the record whose enqueue failed stays ours.
    UserInfo *r = record(1);
    EXPECT_EQ(gw_update_queue_enqueue(r), -1);
    EXPECT_EQ(gw_update_queue_dequeue(), nullptr);
    ASSERT_EQ(gw_update_queue_init(), 0);
    EXPECT_EQ(gw_update_queue_enqueue(nullptr), -1);
    userdb_free_userinfo(r);

    // Records arriving in pairs while the consumer is busy must never leave the next one
    // waiting behind a spent wake-up.
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(gw_update_queue_enqueue(record(10 * round + 1)), 0);
        ASSERT_EQ(gw_update_queue_enqueue(record(10 * round + 2)), 0);
        userinfo_ptr a(gw_update_queue_dequeue());
        userinfo_ptr b(gw_update_queue_dequeue());
        ASSERT_TRUE(a && b);
        EXPECT_EQ(b->RowID, 10 * round + 2);

        auto consumer = std::async(std::launch::async, [] {
            userinfo_ptr taken(gw_update_queue_dequeue());
            return taken ? taken->RowID : 0;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(gw_update_queue_enqueue(record(10 * round + 3)), 0);
        ASSERT_EQ(consumer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(consumer.get(), 10 * round + 3);
    }

    // The release wakes a consumer still waiting, empty-handed.
    auto consumer = std::async(std::launch::async, [] { return gw_update_queue_dequeue(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gw_update_queue_fini();
    ASSERT_EQ(consumer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(consumer.get(), nullptr);
    EXPECT_TRUE(logged("gw_update_queue_init: GW Update Queue released"));
}

TEST_F(UpdateQueue, ManyProducersNeverLeaveTheConsumerEmptyHanded)
{
    // Three producers and one consumer: a null before the last record would make the appliance
    // update thread sleep while records wait. Several rounds, since the window is narrow.
    ASSERT_EQ(gw_update_queue_init(), 0);
    log_set_loglevel(LOG_CRIT);
    constexpr int producers = 3;
    constexpr int per_producer = 100000;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p) {
            threads.emplace_back([p] {
                for (int i = 0; i < per_producer; ++i) {
                    ASSERT_EQ(gw_update_queue_enqueue(record(p * per_producer + i)), 0);
                }
            });
        }
        int nulls = 0;
        for (int taken = 0; taken < producers * per_producer;) {
            userinfo_ptr r(gw_update_queue_dequeue());
            if (r) {
                ++taken;
            } else {
                ++nulls;
            }
        }
        for (auto &t : threads) {
            t.join();
        }
        EXPECT_EQ(nulls, 0) << "round " << round;
    }
}

TEST_F(UpdateQueue, AReplayWaitsAtTheBoundUntilHalfIsTakenALiveUpdateNever)
{
    ASSERT_EQ(gw_update_queue_init(), 0);
    gw_update_queue_set_bound(4);
    for (int i = 1; i <= 4; ++i) {
        ASSERT_EQ(gw_update_queue_enqueue_replay(record(i)), 0);
    }
    auto replay =
        std::async(std::launch::async, [] { return gw_update_queue_enqueue_replay(record(5)); });
    EXPECT_EQ(replay.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_EQ(gw_update_queue_enqueue(record(100)), 0); // live: past the bound at once
    EXPECT_EQ(gw_update_queue_count(), 5u);
    for (int taken = 1; taken <= 3; ++taken) { // down to half after the third: the replay goes on
        EXPECT_EQ(replay.wait_for(std::chrono::milliseconds(taken == 1 ? 0 : 100)),
                  std::future_status::timeout);
        userinfo_ptr(gw_update_queue_dequeue()).reset();
    }
    ASSERT_EQ(replay.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(replay.get(), 0);
    EXPECT_EQ(gw_update_queue_count(), 3u);

    // A replay still waiting when the queue is released gets its record back.
    ASSERT_EQ(gw_update_queue_enqueue(record(101)), 0);
    UserInfo *last = record(6);
    auto stuck =
        std::async(std::launch::async, [last] { return gw_update_queue_enqueue_replay(last); });
    EXPECT_EQ(stuck.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    gw_update_queue_fini();
    ASSERT_EQ(stuck.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(stuck.get(), -1);
    userdb_free_userinfo(last);
}

} // namespace
