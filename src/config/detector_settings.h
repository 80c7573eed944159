// detector_settings: the logoff detector's mode and interval, which every part that builds a
// logon record reads (the interval gives each logon its ExpireTime).
//
// Start-up sets them once with logoff_detector_init() before any reader runs; afterwards any
// thread may read them.
#pragma once

#include <cstdint>

constexpr std::uint16_t LOGOFF_DEFAULT_INTERVAL = 600; // seconds

// Stores the detection mode (1 ping, 2 workstation poll, 3 LDAP) and interval (seconds).
void logoff_detector_init(std::uint8_t mode, std::uint16_t interval);

// The lifetime of a logon and the idle sleep of the detector, in seconds (default 600).
std::uint16_t logoff_detector_get_interval();
// The detection mode (default 1, ping).
std::uint8_t logoff_detector_get_mode();
