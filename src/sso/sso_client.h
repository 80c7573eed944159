// sso_client: the Collector's updates to the appliances (GW).
//
// SSOclient_init() once during start-up (after the update queue) registers every appliance of
// gw-list.ini whose UDP socket can be opened; the list is read-only from then on and its nodes
// live as long as the process. SSOclient_thread() (the only consumer of the update queue) and
// SSO_client_update_heartbeat() then each occupy one pool worker for good. The request server
// (sso_server.h) changes the appliances' active states, answers IS_ACTIVE, schedules the file
// rewrites of this module and tells it its port for the heartbeat. The datagrams themselves are
// built in sso_wire.h.
//
// Threads: the node list and entries are not locked (unchanged after start-up; each active state
// is an atomic 16-bit value). Several threads send on one appliance's socket, one datagram per
// send call. The active-appliance file has its own lock.
#pragma once

#include <cstdint>

struct UserInfo;
struct gw_node;
struct net_handle;

// Time of the heartbeat period (seconds).
constexpr unsigned int SSO_HEARTBEAT_SECONDS = 30;

// Registers the appliances of list (a configuration list, see config_lists.h) and prepares the
// active-appliance file in base_directory. Returns 0.
int SSOclient_init(gw_node *list, const char16_t *base_directory);
// Closes every appliance socket, sets the states back to 0 (the active-status counter follows)
// and forgets the list, so that SSOclient_init() may run again (tests, tools).
void SSOclient_fini();

// A UDP handle connected to address:port (0 means 6060), or null (logged).
net_handle *SSOclient_gw_init(const char16_t *address, std::uint16_t port);
// Registers entry with its handle, which the entry owns from then on. 0, or -1.
int SSOclient_add_gwnode(gw_node *entry, net_handle *handle);
// The first registered appliance whose address equals the text (ASCII case ignored), or null.
gw_node *SSOclient_find_gwnode(const char16_t *address);
// The registered appliances in list order: the first, and the one after node (null at the end).
gw_node *SSOclient_first_gwnode();
gw_node *SSOclient_next_gwnode(const gw_node *node);
// The port the appliance is sent to (its gw-list.ini port, 6060 for 0).
std::uint16_t SSOclient_gw_port(const gw_node *node);

// The update thread: takes records from the update queue for ever (argument unused).
void SSOclient_thread(void *argument);
// One record of the queue: sent to its requesting appliance alone, or to every live appliance
// whose networks contain the workstation; then released. Takes the record.
void SSOclient_process_record(UserInfo *record);

// Sends the record as a logon (Flags 5) or logout (Flags 4) datagram (SSOclient_build_update)
// to the node. 0 sent, -1 otherwise (logged). The record stays with the caller.
int SSOclient_update_GW(gw_node *node, const UserInfo *record);

// 1 send to this appliance, 0 the workstation lies outside its networks, -1 bad input (no node,
// no address, or an address that is not dotted IPv4 text).
int SSOclient_filter_GW_subnet(const gw_node *node, const char16_t *wrkst_ip);

// The heartbeat thread (argument unused), and one round of it: a heartbeat to every active
// appliance.
void SSO_client_update_heartbeat(void *argument);
void SSOclient_send_heartbeats();
// The request server's port that the heartbeat carries (6677 until the server sets the one in
// use).
void SSOclient_set_server_port(std::uint16_t port);

// Sets the node's active state (0, 1 or 2) and moves the active-status counter with it.
void SSOclient_set_active_state(gw_node *node, std::uint16_t state);

// The pool job that rewrites active-appliance.log: the address of every live appliance, one a
// line (argument unused).
void SSOclient_update_active_gw_file(void *argument);
