// detector_settings: the logoff detector's mode and interval, which every part that builds a
// logon record reads (the interval gives each logon its ExpireTime), and the size of its batches
// and the pause between them.
//
// Start-up sets them once with logoff_detector_init() and logoff_detector_set_batches() before
// any reader runs; afterwards any thread may read them.
#pragma once

#include <cstdint>

constexpr std::uint16_t LOGOFF_DEFAULT_INTERVAL = 600; // seconds

// Rows per select and the pause after each batch of a pass (BATCH-SIZE and BATCH-PAUSE), with
// the bounds that the configuration holds them to.
constexpr std::uint16_t LOGOFF_DEFAULT_BATCH_SIZE = 5;
constexpr std::uint16_t LOGOFF_BATCH_SIZE_MAX = 10000;
constexpr std::uint16_t LOGOFF_DEFAULT_BATCH_PAUSE = 5; // seconds
constexpr std::uint16_t LOGOFF_BATCH_PAUSE_MAX = 3600;

// Stores the detection mode (1 ping, 2 workstation poll, 3 LDAP) and interval (seconds).
void logoff_detector_init(std::uint8_t mode, std::uint16_t interval);

// The lifetime of a logon and the idle sleep of the detector, in seconds (default 600).
std::uint16_t logoff_detector_get_interval();
// The detection mode (default 1, ping).
std::uint8_t logoff_detector_get_mode();

// Stores the batch size (rows, 1 to LOGOFF_BATCH_SIZE_MAX) and the pause after a batch
// (seconds, 0 to LOGOFF_BATCH_PAUSE_MAX); a value outside its bounds is brought to the nearest
// one.
void logoff_detector_set_batches(std::uint16_t size, std::uint16_t pause_seconds);
std::uint16_t logoff_detector_get_batch_size();  // default 5
std::uint16_t logoff_detector_get_batch_pause(); // seconds, default 5
