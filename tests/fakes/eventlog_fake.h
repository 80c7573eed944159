// A scripted stand-in for the platform's event log, linked instead of the real one: records are
// added by the test, reads can be made to fail, and waits can be ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eventlog_fake {

// Appends a record (numbered on from the last) and raises the notification.
void add(std::uint32_t event_id, std::uint16_t type, std::uint32_t time,
         const std::vector<std::u16string> &strings);
// The next read fails once with this error.
void fail_next_read(int error);
// The next open fails (last error 2).
void fail_next_open();
// From now on every wait fails: the monitor's job ends.
void end();
// Successful opens so far; reads that returned records.
int opens();
int reads();
void reset();

} // namespace eventlog_fake
