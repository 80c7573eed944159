// The thread pool: which worker a submission wakes, head before tail, the wait for a free
// worker, a wake-up that finds nothing, and the pool's end.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/event.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "support/test_support.h"

namespace {

// What the submitted functions record, and a gate that holds a worker busy.
struct journal {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> ran;
    std::vector<int> workers;
    bool gate_open = false;

    void note(const std::string &name)
    {
        std::lock_guard guard(lock);
        ran.push_back(name);
        workers.push_back(threadpool_current_worker());
        changed.notify_all();
    }
    bool wait_runs(std::size_t count)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10),
                                [&] { return ran.size() >= count; });
    }
    void open_gate()
    {
        std::lock_guard guard(lock);
        gate_open = true;
        changed.notify_all();
    }
};
journal *g_journal = nullptr;

void (*const run_a)(void *) = [](void *) { g_journal->note("A"); };
void (*const run_c)(void *) = [](void *) { g_journal->note("C"); };
void
run_blocker(void *)
{
    g_journal->note("blocker");
    std::unique_lock guard(g_journal->lock);
    g_journal->changed.wait_for(guard, std::chrono::seconds(20),
                                [] { return g_journal->gate_open; });
}

class ThreadPool : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        log_set_loglevel(LOG_DEBUG);
        g_journal = &record;
    }
    void TearDown() override
    {
        record.open_gate();
        threadpool_destroy();
        g_journal = nullptr;
        log_fixture::TearDown();
    }
    bool wait_logged(const std::string &text, std::size_t count)
    {
        return nivo_test::eventually([&] { return nivo_test::count_of(log(), text) >= count; },
                                     5000, 25);
    }
    journal record;
};

TEST_F(ThreadPool, TheLowestNumberedFreeWorkerIsWokenEvenAfterAWakeUpWithNothingQueued)
{
    ASSERT_EQ(threadpool_create(3, 1), 0);
    EXPECT_EQ(nivo_test::count_of(log(), "threadpool_create: Thread added to thread map"), 3u);
    event_handle *wake = event_create(true, false, u"Thread1");
    ASSERT_NE(wake, nullptr);
    ASSERT_EQ(event_set(wake), 0);
    event_close(wake);
    ASSERT_TRUE(wait_logged("threadpool_get_threadproc: No Pending Function found", 1));
    ASSERT_TRUE(wait_logged("threadpool_finishnotify: Reset Event", 1));
    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(threadpool_run(run_a, nullptr, 1), 0);
        ASSERT_TRUE(record.wait_runs(i));
        // The worker marks itself free just after the function; wait for that.
        ASSERT_TRUE(wait_logged("threadpool_finishnotify: Reset Event", i + 1));
    }
    ASSERT_EQ(threadpool_run(run_blocker, nullptr, 1), 0);
    ASSERT_TRUE(record.wait_runs(4));
    ASSERT_EQ(threadpool_run(run_a, nullptr, 1), 0);
    ASSERT_TRUE(record.wait_runs(5));
    EXPECT_EQ(record.workers, (std::vector<int>{1, 1, 1, 1, 2}));
}

TEST_F(ThreadPool, HeadSubmissionIsTakenFirstAndWaitersWakeWhenAWorkerFrees)
{
    ASSERT_EQ(threadpool_create(1, 1), 0);
    ASSERT_EQ(threadpool_run(run_blocker, nullptr, 1), 0);
    ASSERT_TRUE(record.wait_runs(1));

    std::atomic<int> results{0};
    std::thread tail([&] { results += threadpool_run(run_a, nullptr, 1) == 0 ? 1 : 0; });
    ASSERT_TRUE(wait_logged("threadpool_run: couldn't get free thread", 1));
    std::thread head([&] { results += threadpool_run(run_c, nullptr, 0) == 0 ? 1 : 0; });
    ASSERT_TRUE(wait_logged("threadpool_run: couldn't get free thread", 2));

    auto released = std::chrono::steady_clock::now();
    record.open_gate();
    tail.join();
    head.join();
    double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count();
    ASSERT_TRUE(record.wait_runs(3));
    EXPECT_EQ(results.load(), 2);
    EXPECT_EQ(record.ran, (std::vector<std::string>{"blocker", "C", "A"}));
    // Both waiters were served without sitting out a 5-second period.
    EXPECT_LT(waited, 4.0);
}

} // namespace
