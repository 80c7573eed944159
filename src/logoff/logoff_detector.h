// logoff_detector: the Collector's periodic check of logons whose expiry has passed.
//
// Its mode and interval live in config/detector_settings.h. logoff_detector() is the loop:
// submitted once to the thread pool, it selects due rows in batches of 5 (marking them 2 in the
// store), hands each to a check worker on the pool (the ping, or the workstation poll in
// WORKSTATION-POLL mode), pauses 5 seconds between batches, and sleeps the interval after a pass
// that found nothing or while no appliance holds this Collector live. It runs until the process
// ends.
#pragma once

#include <cstdint>

#include "config/detector_settings.h"

constexpr std::uint16_t LOGOFF_BATCH_SIZE = 5;       // records per select
constexpr unsigned int LOGOFF_BATCH_PAUSE_MS = 5000; // between two batches of one pass

// The loop (a thread-pool job); the argument is not used. Returns only after
// logoff_detector_stop().
void logoff_detector(void *argument);

// Ends the loop at its next pause or sleep; for tests and tools, the service never stops it.
// logoff_detector() may be submitted again afterwards.
void logoff_detector_stop();
