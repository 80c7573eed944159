// wrkstpoll: applying what a workstation check found. wrkstpoll_handle_logon_req() (a user is
// logged on at the record's workstation) and wrkstpoll_handle_logoff_req() (nobody is, or the
// workstation is gone) are used by every checker of the Collector and by the store's duplicate
// check.
//
// Both may run on any thread and serialise only inside each store call; they take over the
// record they are given, except where wrkstpoll_handle_logon_req() returns -2.
#pragma once

#include <cstdint>

#include "platform/wrkstquery.h"

struct UserInfo;

// user and domain as the workstation reports them. 0 handled (also when the new logon is
// filtered out or already stored), -1 failure, -2 when domain is not the host domain (a record
// from the logoff detector then stays with the caller).
int wrkstpoll_handle_logon_req(UserInfo *record, const char16_t *user, const char16_t *domain);

// Deletes the record's logon (by workstation too when match_workstation is not 0) and queues
// its logout; a poll request of an appliance (Flags 3) and an address on the logoff exclusion
// list are only released. 0, or -1; always takes the record.
int wrkstpoll_handle_logoff_req(UserInfo *record, int match_workstation);

// CreateTime now, ExpireTime now plus the detection interval, LogonType 1.
void wrkstpoll_init_userinfo_common(UserInfo *record);

// 1 when a new logon found by polling must be ignored; 0 keeps it and gives it the host domain
// FQDN as its Domain.
int wrkstpoll_filter_userinfo(UserInfo *record);

// Queues the record for the appliances; the queue takes it on 0. 0, or -1.
int wrkstpoll_enqueue_gw_update(UserInfo *record);

// Stores the polling mode (1 WMI, 2 REGISTRY, 3 LDAP) and the account and password of
// ACCOUNT-CREDENTIALS (kept by reference: they must outlive the process's polls; null for the
// service's own identity). Mode 1 also sets up the WMI client. 0, or -1 (logged). Called once
// during start-up, before any poll.
int wrkstpoll_init(std::uint8_t mode, const char16_t *account, const char16_t *password);
int wrkstpoll_wmi_init(const char16_t *account, const char16_t *password);
std::uint8_t wrkstpoll_get_mode();

// The job the logoff detector and the appliance request server hand to the thread pool for a
// workstation check (the argument is a UserInfo record, which the job takes over): the WMI or
// the registry poll by the polling mode. The directory poll (mode 3) is not built in; its
// records are released with a log line.
void wrkstpoll_dispatch(void *record);

// The poll workers. Each takes over the record (a due row at flags 2, or an appliance's poll
// request at flags 3) and ends with one outcome: renewed, replaced, logged out or left alone.
// 0, or -1.
int wrkstpoll_workerthread_wmi(UserInfo *record);
int wrkstpoll_workerthread_reg(UserInfo *record);

constexpr int WRKSTPOLL_CONNECT_ATTEMPTS = 3;
constexpr unsigned int WRKSTPOLL_RETRY_PAUSE_MS = 1000;
constexpr unsigned int WRKSTPOLL_WMI_WAIT_MS = 5000;

// Reads a SID text of the form S-revision-authority(hex)-sub-sub-... (up to 8 sub-authorities,
// each a decimal below 2^32) into sid. Returns the number of fields read, stopping at the first
// that does not fit the form; at least 3 make a SID of (fields - 2) sub-authorities.
int wrkstpoll_parse_sid(const char16_t *text, platform_sid *sid);
