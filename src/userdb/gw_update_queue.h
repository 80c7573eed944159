// gw_update_queue: the FIFO of UserInfo records from every producer of the Collector (stored
// logons, logoff checks, the dead-entry timeout, the appliance request server) to the one
// thread that sends updates to the appliances.
//
// gw_update_queue_init() once during start-up, before producers and the consumer start;
// gw_update_queue_fini() only on the failure path of init (and in tests). Enqueue may run on
// any thread; dequeue is meant for one consumer. Records carry their own request code in Flags
// (5 logon, 4 logout); the queue does not look into them.
//
// Two kinds of producers: live updates (a logon or logout that has just happened) are appended
// at once, whatever the queue holds; replays (stored logons sent again to an appliance that asks
// for them) go through gw_update_queue_enqueue_replay(), which waits while the queue holds its
// bound, so that a replay of any size keeps at most that many records in memory and never
// displaces a live update.
#pragma once

#include <cstddef>

struct UserInfo;

// The records the queue holds before a replay waits: about 1.5 MB of typical logons. A waiting
// replay goes on once the consumer has taken the queue down to half of it.
constexpr std::size_t GW_UPDATE_QUEUE_BOUND = 4096;

int gw_update_queue_init(); // 0, or -1
void gw_update_queue_fini();

// Appends the record, which belongs to the queue from then on. 0, or -1 (the record stays
// with the caller).
int gw_update_queue_enqueue(UserInfo *record);

// The same for a replayed record: waits first while the queue holds its bound or more, until
// the consumer has taken it down to half. 0, or -1 (the record stays with the caller) when the
// queue is not initialised or is released while the caller waits.
int gw_update_queue_enqueue_replay(UserInfo *record);

// The records in the queue now.
std::size_t gw_update_queue_count();
// Replaces the bound (GW_UPDATE_QUEUE_BOUND until then; at least 2), for tests and benchmarks.
void gw_update_queue_set_bound(std::size_t records);

// The record at the head, owned by the caller from now on. An empty queue waits until a record
// arrives and returns it at once; null when the queue is not initialised, or after a wake-up
// that found nothing to take (the caller treats it as empty).
UserInfo *gw_update_queue_dequeue();
