// wrkstping: the simplest logoff check. A due logon is kept when its workstation answers an
// ICMP echo request and logged out when it does not.
//
// The two settings are handed over once by start-up (wrkstping_init), before any check runs, and
// only read afterwards. Checks run concurrently on pool threads, each with an ICMP
// handle of its own.
#pragma once

#include <cstdint>

constexpr std::int32_t WRKSTPING_DEFAULT_TIMEOUT = 5000; // milliseconds

// The check of one due record, which it takes over: a workstation that answers renews the row
// (Flags 1, ExpireTime now plus the detection interval); one that does not, or a record without
// WrkstIP, goes to wrkstpoll_handle_logoff_req. A thread-pool job.
void wrkstping_workerthread(void *record);

// Pings the IPv4 address text up to the attempt count, each attempt waiting up to the time-out.
// 1 when an attempt was answered with success, 0 otherwise (also when the count is 0).
int wrkstping_ping(const char16_t *address);

// PING-TIMEOUT (milliseconds) and the bounded retry count of the configuration; a 0 keeps the
// ping's own value of that setting.
void wrkstping_init(std::int32_t timeout_ms, std::uint8_t retry);

void wrkstping_set_timeout(std::int32_t milliseconds);
void wrkstping_set_retry(std::uint8_t count);
std::int32_t wrkstping_get_timeout();
std::uint8_t wrkstping_get_retry();

// The text of an ICMP status code (11001 to 11018), or an empty text for any other code.
const char16_t *wrkstping_status_text(unsigned long status);
