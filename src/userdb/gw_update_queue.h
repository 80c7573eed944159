// gw_update_queue: the FIFO of UserInfo records from every producer of the Collector (stored
// logons, logoff checks, the dead-entry timeout, the appliance request server) to the one
// thread that sends updates to the appliances.
//
// gw_update_queue_init() once during start-up, before producers and the consumer start;
// gw_update_queue_fini() only on the failure path of init (and in tests). Enqueue may run on
// any thread; dequeue is meant for one consumer. Records carry their own request code in Flags
// (5 logon, 4 logout); the queue does not look into them.
#pragma once

struct UserInfo;

int gw_update_queue_init(); // 0, or -1
void gw_update_queue_fini();

// Appends the record, which belongs to the queue from then on. 0, or -1 (the record stays
// with the caller).
int gw_update_queue_enqueue(UserInfo *record);

// The record at the head, owned by the caller from now on. An empty queue waits until a record
// arrives and returns it at once; null when the queue is not initialised, or after a wake-up
// that found nothing to take (the caller treats it as empty).
UserInfo *gw_update_queue_dequeue();
