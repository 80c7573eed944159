// config_lists: the eight list files of the base directory and the three lists the configuration
// record holds (domain controllers, appliances, collectors).
//
// Files and where their entries go (the number is the list type the readers take):
//   0 user-exclusion-list.ini     UTF-16LE with byte-order mark  agent's user exclusion list
//   1 domain-list.ini             narrow                         agent's monitored domains
//   2 dc-list.ini                 narrow                         record's DC list
//   3 gw-list.ini                 narrow                         record's GW list
//   4 authnet-list.ini            narrow                         agent's authorised networks
//   5 logoff-exclusion-list.ini   narrow   "a/b" lines: logoff exclusion networks, others:
//                                          logoff IP exclusion list
//   6 login-ip-exclusion-list.ini narrow   the same for logins
//   7 coll-list.ini               narrow                         record's collector list
// Narrow files are read one byte per character. One entry per line; white space at both ends of
// a line is removed; blank lines and lines whose first character is ";" are skipped. An entry
// holds at most 1023 characters after trimming; a longer line is logged and skipped. A last line
// without a line feed is read like any other.
//
// Life cycle: the readers run on the start-up thread (config_postinit) before any other thread of
// the service exists; the lists then stay unchanged and are read without a lock. The nodes belong
// to the configuration record; config_free_lists() releases them (tests, a fresh parse).
#pragma once

#include <atomic>
#include <cstdint>

#include "config/config.h"

struct net_handle;

enum config_list_type : int {
    CONFIG_LIST_USER_EXCLUSION = 0,
    CONFIG_LIST_DOMAIN = 1,
    CONFIG_LIST_DC = 2,
    CONFIG_LIST_GW = 3,
    CONFIG_LIST_AUTHNET = 4,
    CONFIG_LIST_LOGOFF_EXCLUSION = 5,
    CONFIG_LIST_LOGIN_EXCLUSION = 6,
    CONFIG_LIST_COLLECTOR = 7,
    CONFIG_LIST_TYPES = 8,
};

// The longest entry, in UTF-16 units, after trimming.
constexpr std::size_t CONFIG_LINE_UNITS = 1023;

// A domain controller to poll: "\\host", as the session enumeration takes it.
struct dc_node {
    char16_t *name;
    dc_node *next;
};

// One network an appliance serves (host byte order, already masked).
struct gw_net_node {
    std::uint32_t network;
    std::uint32_t mask;
    gw_net_node *next;
};

// An appliance to inform. An empty network list means it serves every network.
//
// The last three fields belong to the appliance update client (sso_client.h): an appliance is
// registered while its connected UDP handle is set; its active state (0 not live, 1 live-off,
// 2 active) is written by the request server's thread and read by the update and heartbeat
// threads, one whole 16-bit value at a time.
struct gw_node {
    char16_t *name; // the appliance's address as written in the file
    std::uint16_t port;
    gw_net_node *networks;
    gw_node *next;
    net_handle *handle;
    std::atomic<std::uint16_t> active_state;
    std::atomic<bool> transit_pending; // a transit-time resend is waiting for this appliance
    std::atomic<bool> getall_pending;  // a GetAllUsers replay is running for this appliance
};

// A remote collector: address and port.
struct coll_node {
    char16_t *name;
    std::uint16_t port;
    coll_node *next;
};

// Reads a narrow list file and hands each line to config_add_names. Failures are logged; the
// caller goes on either way.
void config_parse_namefile(const char16_t *path, int type, config_record *record);
// Reads the UTF-16 list file (type 0) and hands each line to config_add_names_w. 0, or -1
// (logged) for a missing path, a bad type or a file that cannot be opened.
int config_parse_unicode_namefile(const char16_t *path, int type, config_record *record);

// One line of a list file: trimmed, skipped when blank or a comment, dispatched by type.
void config_add_names(const char16_t *line, int type, config_record *record);
void config_add_names_w(const char16_t *line, int type, config_record *record);

// One trimmed entry of dc-list.ini, gw-list.ini or coll-list.ini. 0, or -1 (logged; nothing
// added).
int config_adddc_dclist(const char16_t *line, config_record *record);
int config_addgw_gwlist(const char16_t *line, config_record *record);
int config_add_coll_list(const char16_t *line, config_record *record);

// The lists as log lines.
void config_print_dclist(const config_record *record);
void config_print_gwlist(const config_record *record);
void config_print_colllist(const config_record *record);

// The number of entries of the DC list.
unsigned int config_count_dclist(const config_record *record);

// Finds an appliance by address (without regard to case); null when it is not listed.
gw_node *config_find_gw(const config_record *record, const char16_t *name);

// Releases the three lists of the record and empties their heads.
void config_free_lists(config_record *record);
