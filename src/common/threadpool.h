// threadpool: the one fixed pool of worker threads that runs almost all of the service's work,
// the permanent loops (one worker each, for good) and the short jobs that come and go.
//
// threadpool_create() once during start-up; the service never destroys the pool, but
// threadpool_destroy() ends the workers (tests, and the failure path of create). Submitting
// wakes exactly one free worker, the lowest-numbered one; when none is free, the submitter
// waits until one is, logging "threadpool_run: couldn't get free thread" every 5 seconds.
// Items wait in one list: at the tail (first in, first out) or at the head (taken next). Any
// thread may submit, pool workers included; functions run concurrently and lock for themselves.
#pragma once

using threadpool_fn = void (*)(void *argument);

// Records the size; with start not 0 also builds the event, the list and the workers. 0, or -1
// (logged, pool undone).
int threadpool_create(int size, int start);

// Queues function(argument) at the tail (at_tail 1) or the head (any other value) and wakes a
// free worker, waiting for one if need be. 0 once a worker has been woken; -1 when the item
// could not be queued (nothing is woken) or the pool is not running.
int threadpool_run(threadpool_fn function, void *argument, int at_tail);

// Stops the pool: idle workers end at once, busy ones after their function; waits up to 10
// seconds for them and releases the pool. Items still queued are dropped.
void threadpool_destroy();

// The worker number (1 to size) of the calling thread, 0 outside the pool.
int threadpool_current_worker();

// The workers free at this moment (none picked by a submitter, none running a function); 0 when
// the pool is not running. A snapshot: any other thread may change it at once.
int threadpool_free_workers();
