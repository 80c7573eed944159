// logoff_detector: the Collector's periodic check of logons whose expiry has passed. This file
// holds the detector's settings, set once during start-up and read by every record builder.
#pragma once

#include <cstdint>

constexpr std::uint16_t LOGOFF_DEFAULT_INTERVAL = 600; // seconds

// Stores the detection mode (1 ping, 2 workstation poll, 3 LDAP) and interval (seconds).
void logoff_detector_init(std::uint8_t mode, std::uint16_t interval);

// The lifetime of a logon and the idle sleep of the detector, in seconds (default 600).
std::uint16_t logoff_detector_get_interval();
std::uint8_t logoff_detector_get_mode();
