// dca_eventlog: the DC Agent's event-log monitor. It reads the domain controller's log of
// authentication events forward from the moment it opens it, turns each successful Kerberos
// ticket request (event 672 or 4768) and, when switched on, each successful NTLM validation
// (680 or 4776) into a UserInfo record, and hands the record to the logon pipeline.
//
// Life cycle: start-up hands the monitor its settings (dca_eventlog_init, and
// dca_set_eventlog_ntlm when NTLM is on), then submits dca_eventlog(u"security") to the thread
// pool, where it runs until the log can no longer be read. One monitor per process; it shares
// nothing with other threads except the records it hands on (with their ownership) and the
// settings written before it starts.
// Every line of this module goes through log_write_event (both log files, any level).
#pragma once

#include "platform/eventlog.h"
#include "userdb/userinfo.h"

// What the monitor needs of the configuration and the system.
struct dca_eventlog_settings {
    const char16_t *eventlog_file;  // EVENTLOG-FILE, or null for the platform's own log
    const char16_t *base_directory; // where a relative EVENTLOG-FILE lies (may be null)
    bool older_layout;              // system version 5.0: the older strings of event 672
};
// Copies the settings; start-up calls it before the monitor job starts.
void dca_eventlog_init(const dca_eventlog_settings &settings);

// Switches NTLM monitoring on.
void dca_set_eventlog_ntlm();

// The monitor job (argument: the log's name, a UTF-16 text that outlives the job). The log's
// location is the EVENTLOG-FILE handed to dca_eventlog_init.
void dca_eventlog(void *log_name);

// Opens the log and registers the notification; *next is the number the next written record
// will get. 0, or -1.
int open_eventlog(const char16_t *log_name, std::uint32_t *next);
// Closes log and notification.
void close_eventlog();

// Fill a record from one event (header and strings within header->length bytes).
void init_userinfo_kerberos(const eventlog_record *event, UserInfo *record);
void init_userinfo_ntlm(const eventlog_record *event, UserInfo *record);
void init_userinfo_common(const eventlog_record *event, UserInfo *record);

// The address of the interface that routes towards 8.8.8.8, into out (20 units); out is left
// empty when none is found.
void GetWorkingInternetAdapterIP(char16_t *out);

// Forgets the settings and the NTLM flag (tests only).
void dca_eventlog_reset();
