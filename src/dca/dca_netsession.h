// dca_netsession: the DC Agent's session poller. In NETAPI mode the agent asks each domain
// controller of its DC list, every few seconds, which sessions are open on it, and hands every
// session that carries a user name to the logon pipeline as a logon at the session's client.
// Every pass reports every open session again; the pipeline and the store take care of repeats.
//
// Life cycle: start-up sets the poll interval (dca_netsession_set_poll_interval) and g_poll_dc
// (dca_set_poll_dc, or the HA pair), then submits one dca_netsession job per domain controller to
// the thread pool. The jobs run until the process ends (dca_netsession_stop() ends them for
// tests).
//
// Threads: the jobs share only g_poll_dc and the interval, both read at each pass without a
// lock. Each record handed to the pipeline belongs to it from then on.
#pragma once

#include <atomic>
#include <cstdint>

#include "userdb/userinfo.h"

constexpr std::int32_t DCA_DEFAULT_POLL_INTERVAL = 5; // seconds
constexpr std::int32_t DCA_MAX_POLL_INTERVAL = 15;    // seconds

// 0: the poll jobs skip polling; any other value: they poll. 1 until set.
extern std::atomic<std::int32_t> g_poll_dc;

// Sets g_poll_dc.
void dca_set_poll_dc(std::int32_t value);

// Sets the pause between two passes of each job, in seconds. Values above 15, negative ones
// included, become 15; 0 leaves the interval as it is (5 unless set before).
void dca_netsession_set_poll_interval(std::int32_t seconds);
// The pause between two passes, in seconds.
std::int32_t dca_netsession_get_poll_interval();

// The poll job (argument: the domain controller's name as configured, a UTF-16 text that
// outlives the job). Returns only after dca_netsession_stop().
void dca_netsession(void *dc_name);

// One polling pass over dc: every portion of its session list, from *resume_token on, each
// session with a user name handed to the pipeline. The token is left for the next pass: 0 after
// the last portion, the server's place after a failure or a pass cut short.
void dca_netsession_poll(const char16_t *dc, std::uint32_t *resume_token);

// The poller's time and logon-type filler: CreateTime now, ExpireTime CreateTime plus the logoff
// detector's interval, LogonType 2.
void init_userinfo_common(UserInfo *record);

// Logs why a listing failed without an answer from the server (the platform's failure report of
// its helper), for an agent that runs without the Collector's workstation poll, which logs them
// otherwise.
void dca_netsession_log_listing_failure(const char *utf8_text);

// Ends every poll job at its next pause; the service never stops them (tests only).
void dca_netsession_stop();
// Interval 5, g_poll_dc 1, and jobs may run again (tests only).
void dca_netsession_reset();
