// The logoff detector's settings.

#include "config/detector_settings.h"

#include <algorithm>
#include <atomic>

#include "common/log.h"
#include "config/config.h"

namespace {

struct detector_settings {
    // Written during start-up before any reader runs; atomics keep tests that change them
    // between runs free of data races.
    std::atomic<std::uint8_t> mode{DETECTION_MODE_PING};
    std::atomic<std::uint16_t> interval{LOGOFF_DEFAULT_INTERVAL};
    std::atomic<std::uint16_t> batch_size{LOGOFF_DEFAULT_BATCH_SIZE};
    std::atomic<std::uint16_t> batch_pause{LOGOFF_DEFAULT_BATCH_PAUSE};
};
detector_settings g_detector;

} // namespace

void
logoff_detector_init(std::uint8_t mode, std::uint16_t interval)
{
    g_detector.mode = mode;
    g_detector.interval = interval;
    log_write(LOG_DEBUG, u"logoff_detector_init: Detection Mode: %d", static_cast<int>(mode));
    log_write(LOG_DEBUG, u"logoff_detector_init: Detection Interval: %d",
              static_cast<int>(interval));
}

std::uint16_t
logoff_detector_get_interval()
{
    return g_detector.interval;
}

std::uint8_t
logoff_detector_get_mode()
{
    return g_detector.mode;
}

void
logoff_detector_set_batches(std::uint16_t size, std::uint16_t pause_seconds)
{
    g_detector.batch_size = std::clamp<std::uint16_t>(size, 1, LOGOFF_BATCH_SIZE_MAX);
    g_detector.batch_pause = std::min(pause_seconds, LOGOFF_BATCH_PAUSE_MAX);
    log_write(LOG_DEBUG, u"logoff_detector_set_batches: Batch Size: %d, Batch Pause: %d",
              static_cast<int>(g_detector.batch_size.load()),
              static_cast<int>(g_detector.batch_pause.load()));
}

std::uint16_t
logoff_detector_get_batch_size()
{
    return g_detector.batch_size;
}

std::uint16_t
logoff_detector_get_batch_pause()
{
    return g_detector.batch_pause;
}
