// wrkstpoll_handlers: applying what a workstation check found. wrkstpoll_handle_logon_req() (a
// user is logged on at the record's workstation) and wrkstpoll_handle_logoff_req() (nobody is, or
// the workstation is gone) are used by every checker of the Collector and by the store's
// duplicate check.
//
// Both may run on any thread and serialise only inside each store call; they take over the
// record they are given, except where wrkstpoll_handle_logon_req() returns -2.
#pragma once

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
