// The thread pool: a list of pending functions, workers parked on their own wake-up events
// ("Thread1" to "Thread<size>"), and a map from thread id to each worker's bookkeeping.
//
// A running pool is one instance shared by the workers: a worker keeps the instance alive, so a
// worker that outlives threadpool_destroy() (its function did not end in time) never touches
// released memory. The pool lock makes picking a free worker, marking it busy and signalling it
// one step, and marking it free and resetting its event another; it is never held while a
// function runs or while a submitter waits.

#include "common/threadpool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/event.h"
#include "common/format.h"
#include "common/list.h"
#include "common/log.h"
#include "platform/system.h"

namespace {

bool g_map_oom = false; // set by uthash under the pool lock when an entry cannot be added

} // namespace

#define HASH_NONFATAL_OOM 1
#define uthash_nonfatal_oom(element) (g_map_oom = true)
#include <uthash.h>

namespace {

constexpr auto NO_FREE_THREAD_LOG_PERIOD = std::chrono::seconds(5);
constexpr auto DESTROY_WAIT = std::chrono::seconds(10);

struct work_item {
    threadpool_fn function;
    void *argument;
};

struct thread_data {
    std::int32_t free;
    event_handle *event;
    std::thread thread;
    std::int32_t thread_id;
    bool running; // the thread exists and has not ended
};

struct map_entry {
    std::int32_t thread_id; // the key
    thread_data *data;
    UT_hash_handle hh;
};

struct pool_instance {
    std::mutex lock; // the pool lock
    std::condition_variable worker_freed;
    std::condition_variable worker_ended;
    event_handle *shutdown = nullptr;
    list_handle *functions = nullptr;
    std::unique_ptr<thread_data[]> threads;
    int size = 0;
    map_entry *map = nullptr;
    std::atomic<bool> stopping{false};
};

struct pool_state {
    std::mutex lock; // guards current
    std::shared_ptr<pool_instance> current;
    int size = 0;
};
// Never destroyed: the process ends with its workers running, which keep their instance.
pool_state &g_pool = *new pool_state;

thread_local int t_worker_number = 0;

std::shared_ptr<pool_instance>
current_pool()
{
    std::lock_guard guard(g_pool.lock);
    return g_pool.current;
}

std::uintptr_t
address_of(threadpool_fn function)
{
    return reinterpret_cast<std::uintptr_t>(function);
}

void
release_item(void *data)
{
    std::free(data);
}

// Marks the calling worker free again and resets its event, as one step under the pool lock.
void
threadpool_finishnotify(pool_instance *pool, std::int32_t thread_id)
{
    {
        std::lock_guard guard(pool->lock);
        map_entry *entry = nullptr;
        HASH_FIND_INT(pool->map, &thread_id, entry);
        if (entry == nullptr) {
            log_write(LOG_ERROR, u"threadpool_finishnotify: Thread couldn't found");
            return;
        }
        log_write(LOG_DEBUG, u"threadpool_finishnotify: Thread ID: 0x%x",
                  static_cast<unsigned int>(thread_id));
        entry->data->free = 1;
        event_reset(entry->data->event);
        log_write(LOG_DEBUG, u"threadpool_finishnotify: Reset Event");
    }
    pool->worker_freed.notify_all();
}

// The next item's function and argument; false when the list is empty.
bool
threadpool_get_threadproc(pool_instance *pool, work_item *out)
{
    auto *item = static_cast<work_item *>(list_remove_head(pool->functions));
    if (item == nullptr) {
        log_write(LOG_DEBUG, u"threadpool_get_threadproc: No Pending Function found");
        return false;
    }
    log_write(LOG_DEBUG, u"threadpool_get_threadproc: Function 0x%x",
              static_cast<unsigned int>(address_of(item->function)));
    *out = *item;
    std::free(item);
    return true;
}

void
threadpool_threadproc(std::shared_ptr<pool_instance> pool, int number,
                      std::promise<std::int32_t> started, std::shared_future<void> resumed)
{
    t_worker_number = number;
    auto thread_id = static_cast<std::int32_t>(platform_thread_id());
    started.set_value(thread_id);
    resumed.wait(); // until the creator has put this worker into the map

    event_handle *own_event = nullptr;
    {
        std::lock_guard guard(pool->lock);
        map_entry *entry = nullptr;
        HASH_FIND_INT(pool->map, &thread_id, entry);
        if (entry != nullptr) {
            own_event = entry->data->event;
        }
    }
    while (own_event != nullptr && !pool->stopping) {
        // The shutdown also sets every worker's event, so waiting on the own event alone is
        // waiting on both.
        if (event_wait(own_event, EVENT_INFINITE) != EVENT_SIGNALED || pool->stopping) {
            break;
        }
        log_write(LOG_DEBUG, u"threadpool_threadproc: New Function added");
        work_item item{};
        if (threadpool_get_threadproc(pool.get(), &item)) {
            log_write(LOG_DEBUG, u"threadpool_threadproc: Executing Function 0x%x",
                      static_cast<unsigned int>(address_of(item.function)));
            item.function(item.argument);
        }
        threadpool_finishnotify(pool.get(), thread_id);
    }
    {
        std::lock_guard guard(pool->lock);
        pool->threads[number - 1].running = false;
    }
    pool->worker_ended.notify_all();
}

// Ends the workers (waiting a bounded time) and releases the instance's resources.
void
pool_release(const std::shared_ptr<pool_instance> &pool)
{
    pool->stopping = true;
    event_set(pool->shutdown);
    {
        std::unique_lock guard(pool->lock);
        for (int i = 0; i < pool->size; ++i) {
            if (pool->threads[i].event != nullptr) {
                event_set(pool->threads[i].event);
            }
        }
        pool->worker_ended.wait_for(guard, DESTROY_WAIT, [&pool] {
            for (int i = 0; i < pool->size; ++i) {
                if (pool->threads[i].running) {
                    return false;
                }
            }
            return true;
        });
    }
    pool->worker_freed.notify_all(); // submitters still waiting give up

    std::lock_guard guard(pool->lock);
    map_entry *entry;
    map_entry *next;
    HASH_ITER(hh, pool->map, entry, next)
    {
        thread_data *data = entry->data;
        log_write(LOG_DEBUG, u"threadpool_destroy: Removed ThreadData: Thread ID: 0x%x",
                  static_cast<unsigned int>(entry->thread_id));
        HASH_DEL(pool->map, entry);
        delete entry;
        // A worker that did not end in time keeps running its function on the shared
        // instance; it ends at its next look at the stopping flag.
        if (data->thread.joinable()) {
            if (data->running) {
                data->thread.detach();
            } else {
                data->thread.join();
            }
        }
        if (!data->running && data->event != nullptr) {
            event_close(data->event);
            data->event = nullptr;
        }
    }
    log_write(LOG_DEBUG, u"threadpool_destroy: ThreadData Freed");
    event_close(pool->shutdown);
    pool->shutdown = nullptr;
    log_write(LOG_DEBUG, u"threadpool_destroy: Shutdown Notifier released");
    list_fini(pool->functions);
    pool->functions = nullptr;
    log_write(LOG_DEBUG, u"threadpool_destroy: function list released");
}

// A new instance with its shutdown event, its function list and count worker slots; null
// (logged) on failure.
std::shared_ptr<pool_instance>
create_instance(int count)
{
    std::shared_ptr<pool_instance> pool;
    try {
        pool = std::make_shared<pool_instance>();
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"threadpool_create: threaddata memory couldnt allocated");
        return nullptr;
    }
    pool->shutdown = event_create(true, false, u"PoolEventShutdown");
    if (pool->shutdown == nullptr) {
        log_write(LOG_ERROR, u"threadpool_create: NotifyShutdown CreateEvent failed");
        return nullptr;
    }
    event_reset(pool->shutdown); // a previous pool's event of the same name may still be set
    pool->functions = list_init(release_item);
    if (pool->functions == nullptr) {
        log_write(LOG_ERROR, u"threadpool_create: function list couldnt initialized");
        pool_release(pool);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"threadpool_create: function list initialized");
    pool->threads.reset(new (std::nothrow) thread_data[count > 0 ? count : 1]());
    if (pool->threads == nullptr) {
        log_write(LOG_ERROR, u"threadpool_create: threaddata memory couldnt allocated");
        pool_release(pool);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"threadpool_create: ThreadData allocated");
    return pool;
}

// Adds the worker to the thread map under the pool lock. False when memory runs out.
bool
map_worker(pool_instance *pool, thread_data *data)
{
    std::lock_guard guard(pool->lock);
    auto *entry = new (std::nothrow) map_entry{};
    if (entry == nullptr) {
        return false;
    }
    entry->thread_id = data->thread_id;
    entry->data = data;
    g_map_oom = false;
    HASH_ADD_INT(pool->map, thread_id, entry);
    if (g_map_oom) {
        delete entry;
        return false;
    }
    return true;
}

// Gives the started worker number n its wake-up event ("Thread<n>") and its map entry. False on
// failure.
bool
register_worker(pool_instance *pool, thread_data *data, int n)
{
    char16_t name[32];
    fmt_print_w(name, 32, u"Thread%d", n);
    data->free = 1;
    data->event = event_create(true, false, name);
    if (data->event == nullptr) {
        return false;
    }
    event_reset(data->event);
    return map_worker(pool, data);
}

// Starts worker number n. The worker reports its id and then waits until it is registered, as a
// thread created suspended would. False (logged) when it cannot be started or registered.
bool
start_worker(const std::shared_ptr<pool_instance> &pool, int n)
{
    thread_data &data = pool->threads[n - 1];
    try {
        std::promise<std::int32_t> started;
        std::future<std::int32_t> started_id = started.get_future();
        std::promise<void> resume;
        std::shared_future<void> resumed = resume.get_future().share();
        data.thread = std::thread(threadpool_threadproc, pool, n, std::move(started), resumed);
        data.running = true;
        pool->size = n;
        data.thread_id = started_id.get();
        log_write(LOG_DEBUG, u"threadpool_create: Thread[%d] Created: ID: 0x%x", n,
                  static_cast<unsigned int>(data.thread_id));
        bool added = register_worker(pool.get(), &data, n);
        resume.set_value();
        if (!added) {
            log_write(LOG_ERROR, u"threadpool_create: CreateThread failed");
            return false;
        }
        log_write(LOG_DEBUG, u"threadpool_create: Thread added to thread map");
        return true;
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"threadpool_create: CreateThread failed");
        return false;
    }
}

} // namespace

int
threadpool_current_worker()
{
    return t_worker_number;
}

int
threadpool_free_workers()
{
    std::shared_ptr<pool_instance> pool = current_pool();
    if (pool == nullptr) {
        return 0;
    }
    std::lock_guard guard(pool->lock);
    int free = 0;
    map_entry *entry;
    map_entry *next;
    HASH_ITER(hh, pool->map, entry, next)
    {
        free += entry->data->free == 1 ? 1 : 0;
    }
    return pool->stopping ? 0 : free;
}

int
threadpool_create(int size, int start)
{
    {
        std::lock_guard guard(g_pool.lock);
        g_pool.size = size;
        if (start == 0) {
            return 0;
        }
        if (g_pool.current != nullptr) {
            log_write(LOG_ERROR, u"threadpool_create: ThreadPool already created");
            return -1;
        }
    }
    int count = size > 0 ? size : 0;
    std::shared_ptr<pool_instance> pool = create_instance(count);
    if (pool == nullptr) {
        return -1;
    }
    for (int n = 1; n <= count; ++n) {
        if (!start_worker(pool, n)) {
            pool_release(pool);
            return -1;
        }
    }
    std::lock_guard guard(g_pool.lock);
    g_pool.current = pool;
    return 0;
}

int
threadpool_run(threadpool_fn function, void *argument, int at_tail)
{
    if (function == nullptr) {
        log_write(LOG_ERROR, u"threadpool_run: Invalid Input Parameters");
        return -1;
    }
    std::shared_ptr<pool_instance> pool = current_pool();
    if (pool == nullptr) {
        log_write(LOG_ERROR, u"threadpool_run: ThreadPool not running");
        return -1;
    }
    auto *item = static_cast<work_item *>(std::malloc(sizeof(work_item)));
    if (item == nullptr) {
        log_write(LOG_ERROR, u"threadpool_run: Function Data Allocation Failed");
        return -1;
    }
    item->function = function;
    item->argument = argument;
    log_write(LOG_DEBUG, u"threadpool_run: Submitting Function 0x%x",
              static_cast<unsigned int>(address_of(function)));
    int queued;
    if (at_tail == 1) {
        log_write(LOG_DEBUG, u"threadpool_run: adding function at tail");
        queued = list_add_tail(pool->functions, item);
    } else {
        log_write(LOG_DEBUG, u"threadpool_run: adding function at head");
        queued = list_add_head(pool->functions, item);
    }
    if (queued != 0) {
        // Nothing to take: waking a worker would only make it find the list empty.
        std::free(item);
        return -1;
    }

    std::unique_lock guard(pool->lock);
    for (;;) {
        if (pool->stopping) {
            return -1;
        }
        map_entry *entry;
        map_entry *next;
        HASH_ITER(hh, pool->map, entry, next)
        {
            if (entry->data->free == 1) {
                log_write(LOG_DEBUG, u"threadpool_run: get free thread: ThreadID: 0x%x",
                          static_cast<unsigned int>(entry->thread_id));
                entry->data->free = 0;
                event_set(entry->data->event);
                return 0;
            }
        }
        // No free worker: say so every 5 seconds, but take the first one that frees.
        log_write(LOG_DEBUG, u"threadpool_run: couldn't get free thread");
        auto deadline = std::chrono::steady_clock::now() + NO_FREE_THREAD_LOG_PERIOD;
        bool found = false;
        while (!found && !pool->stopping) {
            if (pool->worker_freed.wait_until(guard, deadline) == std::cv_status::timeout) {
                break;
            }
            HASH_ITER(hh, pool->map, entry, next)
            {
                found = found || entry->data->free == 1;
            }
        }
    }
}

void
threadpool_destroy()
{
    log_write(LOG_DEBUG, u"threadpool_destroy: starts");
    std::shared_ptr<pool_instance> pool;
    {
        std::lock_guard guard(g_pool.lock);
        pool = std::move(g_pool.current);
        g_pool.current = nullptr;
    }
    if (pool != nullptr) {
        pool_release(pool);
    }
    log_write(LOG_DEBUG, u"threadpool_destroy: ThreadPool Destroyed");
}
