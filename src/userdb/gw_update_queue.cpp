// The update queue: a locked list of records and a wake-up counter.
//
// A plain auto-reset event would let a record wait: when two records arrive while the consumer
// runs, the consumer takes both without consuming the two signals' one remaining state, finds
// the event set on its next empty look, takes nothing and sleeps. Here every enqueue appends and
// advances a counter under one lock, and a dequeue that found the list empty waits only until the
// counter moves past the value it saw before it looked, so a record that arrives while the
// consumer looks or waits always ends the wait at once, and a wake-up never waits for nothing.

#include "userdb/gw_update_queue.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "common/list.h"
#include "common/log.h"
#include "userdb/userinfo.h"

namespace {

struct queue_state {
    std::mutex lock; // guards the fields below
    std::condition_variable arrived;
    std::uint64_t enqueued = 0; // records appended so far
    bool ready = false;         // the wake-up exists (between init and fini)
    bool closing = false;       // fini wakes a waiting consumer, which then returns null
    list_handle *list = nullptr;
};
// Never destroyed: the consumer may still wait on it while the process ends.
queue_state &g_queue = *new queue_state;

void
release_record(void *data)
{
    userdb_free_userinfo(static_cast<UserInfo *>(data));
}

} // namespace

int
gw_update_queue_init()
{
    {
        std::lock_guard guard(g_queue.lock);
        g_queue.ready = true;
        g_queue.closing = false;
    }
    list_handle *list = list_init(release_record);
    if (list == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_init: GW Update Queue Initialization failed\n");
        gw_update_queue_fini();
        return -1;
    }
    {
        std::lock_guard guard(g_queue.lock);
        g_queue.list = list;
    }
    log_write(LOG_DEBUG, u"gw_update_queue_init: GW Update Queue Initialized\n");
    return 0;
}

void
gw_update_queue_fini()
{
    list_handle *list;
    {
        std::lock_guard guard(g_queue.lock);
        list = g_queue.list;
        g_queue.list = nullptr;
        g_queue.ready = false;
        g_queue.closing = true;
    }
    g_queue.arrived.notify_all();
    if (list != nullptr) {
        list_fini(list);
    }
    log_write(LOG_DEBUG, u"gw_update_queue_init: GW Update Queue released\n");
}

int
gw_update_queue_enqueue(UserInfo *record)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_enqueue: Invalid Input Parametre\n");
        return -1;
    }
    {
        // The append and the count move together: a consumer that saw the count before it
        // found the list empty is woken only by a record it can take.
        std::lock_guard guard(g_queue.lock);
        list_handle *list = g_queue.ready ? g_queue.list : nullptr;
        if (list == nullptr) {
            log_write(LOG_ERROR, u"gw_update_queue_enqueue: GW Update Queue is not Initialized\n");
            return -1;
        }
        if (list_add_tail(list, record) != 0) {
            return -1;
        }
        ++g_queue.enqueued;
    }
    g_queue.arrived.notify_one();
    return 0;
}

UserInfo *
gw_update_queue_dequeue()
{
    std::uint64_t seen;
    list_handle *list;
    {
        std::lock_guard guard(g_queue.lock);
        list = g_queue.ready ? g_queue.list : nullptr;
        seen = g_queue.enqueued;
    }
    if (list == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_dequeue: GW Update Queue is not Initialized\n");
        return nullptr;
    }
    auto *record = static_cast<UserInfo *>(list_remove_head(list));
    if (record != nullptr) {
        return record;
    }
    bool woken;
    {
        std::unique_lock guard(g_queue.lock);
        g_queue.arrived.wait(guard, [seen] { return g_queue.enqueued != seen || g_queue.closing; });
        woken = !g_queue.closing;
    }
    log_write(LOG_ERROR, u"USERINFO WAITING INFINITE");
    if (!woken) {
        return nullptr;
    }
    return static_cast<UserInfo *>(list_remove_head(list));
}
