// The update queue: a locked list of records and a wake-up counter.
//
// A plain auto-reset event would let a record wait: when two records arrive while the consumer
// runs, the consumer takes both without consuming the two signals' one remaining state, finds
// the event set on its next empty look, takes nothing and sleeps. Here every enqueue appends and
// advances a counter under one lock, and a dequeue that found the list empty waits only until the
// counter moves past the value it saw before it looked, so a record that arrives while the
// consumer looks or waits always ends the wait at once, and a wake-up never waits for nothing.
//
// The same lock counts the records held. A replay that finds the bound reached waits on a
// second condition until the consumer has taken the queue down to half the bound: it then adds
// half a bound's records between two waits instead of one, and the consumer wakes it only when
// it crosses that mark with a replay waiting.

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
    std::condition_variable room;              // a replay may add again
    std::uint64_t enqueued = 0;                // records appended so far
    std::size_t held = 0;                      // records in the list now
    std::size_t bound = GW_UPDATE_QUEUE_BOUND; // a replay waits at this many records
    std::size_t replays_waiting = 0;
    bool ready = false;   // the wake-up exists (between init and fini)
    bool closing = false; // fini wakes a waiting consumer or replay, which then gives up
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
        g_queue.held = 0;
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
        g_queue.held = 0;
    }
    g_queue.arrived.notify_all();
    g_queue.room.notify_all();
    if (list != nullptr) {
        list_fini(list);
    }
    log_write(LOG_DEBUG, u"gw_update_queue_init: GW Update Queue released\n");
}

namespace {

// Appends under the queue's lock (held by the caller), then signals. The append and the count
// move together: a consumer that saw the count before it found the list empty is woken only by
// a record it can take.
int
append_locked(std::unique_lock<std::mutex> &guard, UserInfo *record)
{
    list_handle *list = g_queue.ready ? g_queue.list : nullptr;
    if (list == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_enqueue: GW Update Queue is not Initialized\n");
        return -1;
    }
    if (list_add_tail(list, record) != 0) {
        return -1;
    }
    ++g_queue.enqueued;
    ++g_queue.held;
    guard.unlock();
    g_queue.arrived.notify_one();
    return 0;
}

} // namespace

int
gw_update_queue_enqueue(UserInfo *record)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_enqueue: Invalid Input Parametre\n");
        return -1;
    }
    std::unique_lock guard(g_queue.lock);
    return append_locked(guard, record);
}

int
gw_update_queue_enqueue_replay(UserInfo *record)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"gw_update_queue_enqueue: Invalid Input Parametre\n");
        return -1;
    }
    std::unique_lock guard(g_queue.lock);
    if (g_queue.ready && g_queue.held >= g_queue.bound) {
        log_write(LOG_DEBUG,
                  u"gw_update_queue_enqueue_replay: %u records queued, replay waits for the "
                  u"appliance updates to catch up\n",
                  static_cast<unsigned int>(g_queue.held));
        ++g_queue.replays_waiting;
        g_queue.room.wait(guard,
                          [] { return g_queue.closing || g_queue.held <= g_queue.bound / 2; });
        --g_queue.replays_waiting;
    }
    return append_locked(guard, record);
}

std::size_t
gw_update_queue_count()
{
    std::lock_guard guard(g_queue.lock);
    return g_queue.held;
}

void
gw_update_queue_set_bound(std::size_t records)
{
    {
        std::lock_guard guard(g_queue.lock);
        g_queue.bound = records < 2 ? 2 : records;
    }
    g_queue.room.notify_all();
}

namespace {

// One record taken from the list: counted off, and a waiting replay woken when the queue is
// down to half its bound.
UserInfo *
taken(void *data)
{
    if (data == nullptr) {
        return nullptr;
    }
    bool wake;
    {
        std::lock_guard guard(g_queue.lock);
        if (g_queue.held > 0) {
            --g_queue.held;
        }
        wake = g_queue.replays_waiting > 0 && g_queue.held <= g_queue.bound / 2;
    }
    if (wake) {
        g_queue.room.notify_all();
    }
    return static_cast<UserInfo *>(data);
}

} // namespace

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
    UserInfo *record = taken(list_remove_head(list));
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
    return taken(list_remove_head(list));
}
