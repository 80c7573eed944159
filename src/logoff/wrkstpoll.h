// wrkstpoll: the workstation poll, which asks a workstation who is logged on there (WMI or the
// remote registry) and applies the answer through the handlers of wrkstpoll_handlers.h.
#pragma once

#include <cstdint>

#include "logoff/wrkstpoll_handlers.h"
#include "platform/wrkstquery.h"

struct UserInfo;

// Stores the polling mode (1 WMI, 2 REGISTRY, 3 LDAP) and the account and password of
// ACCOUNT-CREDENTIALS (kept by reference: they must outlive the process's polls; null for the
// service's own identity). Mode 1 also sets up the WMI client. 0, or -1 (logged). Called once
// during start-up, before any poll.
int wrkstpoll_init(std::uint8_t mode, const char16_t *account, const char16_t *password);
int wrkstpoll_wmi_init(const char16_t *account, const char16_t *password);
std::uint8_t wrkstpoll_get_mode();

// The job the logoff detector and the appliance request server hand to the thread pool for a
// workstation check (the argument is a UserInfo record, which the job takes over): the WMI or
// the registry or the directory poll by the polling mode; any other mode releases the record
// with a log line.
void wrkstpoll_dispatch(void *record);

// The poll workers. Each takes over the record (a due row at flags 2, or an appliance's poll
// request at flags 3) and ends with one outcome: renewed, replaced, logged out or left alone.
// 0, or -1.
int wrkstpoll_workerthread_wmi(UserInfo *record);
int wrkstpoll_workerthread_reg(UserInfo *record);
// Asks the directory (a session of its own, the search base of the last login event) who is
// logged on at the record's WrkstIP: that user renews or replaces the logon, nobody logs it out.
int wrkstpoll_workerthread_ldap(UserInfo *record);

constexpr int WRKSTPOLL_CONNECT_ATTEMPTS = 3;
constexpr unsigned int WRKSTPOLL_RETRY_PAUSE_MS = 1000;
constexpr unsigned int WRKSTPOLL_WMI_WAIT_MS = 5000;

// Reads a SID text of the form S-revision-authority(hex)-sub-sub-... (up to 8 sub-authorities,
// each a decimal below 2^32) into sid. Returns the number of fields read, stopping at the first
// that does not fit the form; at least 3 make a SID of (fields - 2) sub-authorities.
int wrkstpoll_parse_sid(const char16_t *text, platform_sid *sid);
