// logoff_detector: the Collector's periodic check of logons whose expiry has passed.
//
// Its mode, interval, batch size and pause live in config/detector_settings.h. logoff_detector()
// is the loop: submitted once to the thread pool, it selects due rows in batches (5 by default,
// marking them 2 in the store), hands each to a check worker on the pool (the ping, or the
// workstation poll in WORKSTATION-POLL mode) in rowid order, pauses between batches (5 seconds
// by default), and sleeps the interval after a pass that found nothing or while no appliance
// holds this Collector live. It runs until the process ends.
//
// The checks of a batch run in parallel on the pool, but the detector leaves the rest of the
// service room: while checks of its own are running it submits the next only when more than
// LOGOFF_POOL_RESERVE workers are free, and waits (in rowid order still) until then. With none
// of its checks running it submits one whatever the pool holds, so a small pool still makes
// progress, as the pool's own wait for a free worker always did.
#pragma once

#include "config/detector_settings.h"

constexpr int LOGOFF_POOL_RESERVE = 2; // workers left free for other work while checks run

// The loop (a thread-pool job); the argument is not used. Returns only after
// logoff_detector_stop().
void logoff_detector(void *argument);

// Ends the loop at its next pause, sleep or wait for a worker; for tests and tools, the service
// never stops it. Checks already submitted run to their end. logoff_detector() may be submitted
// again afterwards.
void logoff_detector_stop();

// The detector's checks submitted and not yet ended.
int logoff_detector_checks_running();
