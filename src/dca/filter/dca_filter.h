// dca_filter: the DC Agent's filter lists, the host domain pair, the filters over them and the
// domain operations that give a logon record the host domain.
//
// Lists: excluded users, excluded workstation addresses for logins and for logoffs, monitored
// domains, authorised networks, and excluded networks for logins and for logoffs. Entries are
// appended in order and never removed; a scan stops at the first match. Names, domains and
// address texts are compared whole and without regard to case. Networks are IPv4, in host byte
// order, stored already masked.
//
// Life cycle and threads: the lists and the host domain pair are filled on the start-up thread
// (by the list-file readers and the configuration post-processing) before any other thread of the
// service exists; afterwards every thread may call the filters at once without a lock.
// dca_filter_reset() empties everything again (for the tests and a fresh parse).
//
// Two senses, kept from the callers' point of view:
//   - dca_filter_by_username, dca_filter_by_login_ip and dca_filter_by_logoff_ip return 1 for an
//     excluded record and 0 otherwise;
//   - dca_filter_by_authnet, dca_filter_by_login_authnet and dca_filter_by_logoff_authnet return
//     0 when the address lies in one of their networks and 1 otherwise.
// So a logon is excluded when the username or login-IP filter says 1 or the login network filter
// says 0, and a logon is admitted by the authorised networks when dca_filter_by_authnet says 0.
//
// The record filters take any logon record with the fields User, Domain, WrkstIP and UserSidType
// (the UserInfo record of the user store); Domain is an owned text released with text_free.
#pragma once

#include <cstdint>

#include "common/text.h"

// Which of the two IP exclusion lists.
enum dca_iplist : int {
    DCA_IPLIST_LOGIN = 0,
    DCA_IPLIST_LOGOFF = 1,
};

// Which of the network lists.
enum dca_netlist : int {
    DCA_NETLIST_AUTH = 0,
    DCA_NETLIST_LOGIN = 1,
    DCA_NETLIST_LOGOFF = 2,
    DCA_NETLIST_AGENT = 3, // the Collector's agents (ALLOWED-AGENT-NETWORKS)
};

// ---- list building (start-up only); 0, or -1 (logged) ----

// A copy of the user name goes to the user exclusion list.
int dca_adduser_userexcllist(const char16_t *user);
// A copy of the address text goes to the login or logoff IP exclusion list.
int dca_addip_ipexcllist(const char16_t *ip, dca_iplist list);
// A copy of the domain name goes to the monitored domain list.
int dca_adddomain_domainlist(const char16_t *domain);
// "address/prefix" (prefix with automatic base: 010 is 8) goes to the named network list. The
// address must be dotted IPv4; a text without "/" is refused. The caller's text is not changed.
int dca_addnet_authnetlist(const char16_t *network);
int dca_login_ipexc_addnet_authnetlist(const char16_t *network);
int dca_logoff_ipexc_addnet_authnetlist(const char16_t *network);
int dca_agent_addnet_authnetlist(const char16_t *network);

// Replaces both host domain texts with copies of the arguments (a null argument leaves that one
// absent).
void dca_set_hostdomain(const char16_t *host_domain, const char16_t *host_domain_fqdn);
// The stored texts (null when absent); owned by this module.
const char16_t *dca_get_hostdomain();
const char16_t *dca_get_hostdomain_fqdn();

// Empties every list and the host domain pair.
void dca_filter_reset();

// ---- printing to the log (start-up) ----
void dca_print_ipexcllist(dca_iplist list);
void dca_print_userexcllist();
void dca_print_domainlist();
void dca_print_authnetlist(dca_netlist list);

// ---- filters on texts (any thread after start-up) ----

// 1 when the user name is in the user exclusion list, else 0.
int dca_filter_user_excluded(const char16_t *user);
// 1 when the address text is in the login or logoff IP exclusion list, else 0 (also for null).
int dca_filter_by_ip(const char16_t *ip, dca_iplist list);
// 0 when the address lies in an authorised network; 1 otherwise, also for an empty list and for
// text that is not a dotted IPv4 address.
int dca_filter_by_authnet(const char16_t *ip);
// 0 when the address lies in a login (logoff) exclusion network; 1 otherwise, also for an empty
// list and unreadable text.
int dca_filter_by_login_authnet(const char16_t *ip);
int dca_filter_by_logoff_authnet(const char16_t *ip);
// 0 when the address may act as an agent towards the Collector: the agent network list is empty
// (ALLOWED-AGENT-NETWORKS not configured) or holds the address; 1 otherwise, also for text that
// is not a dotted IPv4 address while the list has entries.
int dca_filter_by_agent_authnet(const char16_t *ip);
// 1 when the user name names a computer account (contains "$"), else 0.
int dca_filter_wellknown_user(const char16_t *user);
// 0 when the domain is the host domain or its FQDN (or, without a host domain, a monitored
// domain); 1 otherwise.
int dca_filter_domain(const char16_t *domain);
// 0 for SID type 1 (a user account), 1 for any other.
int dca_filter_sidtype(std::int32_t sid_type);

// A new copy of the host domain FQDN when domain is the host domain (case-insensitive), else
// null. The caller owns the copy (text_free).
char16_t *dca_get_fqdn_for_domain(const char16_t *domain);

// ---- the same filters on a logon record ----

template <class Record>
int
dca_filter_wellknown(const Record *record)
{
    return record != nullptr ? dca_filter_wellknown_user(record->User) : 0;
}

template <class Record>
int
dca_filter_by_domainname(const Record *record)
{
    return record != nullptr ? dca_filter_domain(record->Domain) : 1;
}

template <class Record>
int
dca_filter_by_sidtype(const Record *record)
{
    return record != nullptr ? dca_filter_sidtype(record->UserSidType) : 0;
}

template <class Record>
int
dca_filter_by_username(const Record *record)
{
    return record != nullptr ? dca_filter_user_excluded(record->User) : 0;
}

template <class Record>
int
dca_filter_by_login_ip(const Record *record)
{
    return record != nullptr ? dca_filter_by_ip(record->WrkstIP, DCA_IPLIST_LOGIN) : 0;
}

template <class Record>
int
dca_filter_by_logoff_ip(const Record *record)
{
    return record != nullptr ? dca_filter_by_ip(record->WrkstIP, DCA_IPLIST_LOGOFF) : 0;
}

// ---- the exclusion of a workstation address, in one sense ----

// True when logons at the record's WrkstIP are not kept: the address is in the login IP
// exclusion list or lies in a login exclusion network.
template <class Record>
bool
login_excluded(const Record *record)
{
    return dca_filter_by_login_ip(record) == 1 ||
           (record != nullptr && dca_filter_by_login_authnet(record->WrkstIP) == 0);
}

// True when the record's WrkstIP is never logged off: the address is in the logoff IP
// exclusion list or lies in a logoff exclusion network.
template <class Record>
bool
logoff_excluded(const Record *record)
{
    return dca_filter_by_logoff_ip(record) == 1 ||
           (record != nullptr && dca_filter_by_logoff_authnet(record->WrkstIP) == 0);
}

// Domain := a copy of the host domain (the previous Domain is released). 0.
template <class Record>
int
dca_set_default_domain(Record *record)
{
    if (record != nullptr) {
        text_free(record->Domain);
        record->Domain = tsso_string_dup_w(dca_get_hostdomain());
    }
    return 0;
}

// Domain := a copy of the host domain FQDN (the previous Domain is released). 0.
template <class Record>
int
dca_set_fqdn_domain(Record *record)
{
    if (record != nullptr) {
        text_free(record->Domain);
        record->Domain = tsso_string_dup_w(dca_get_hostdomain_fqdn());
    }
    return 0;
}
