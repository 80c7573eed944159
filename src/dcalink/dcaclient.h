// dcaclient: the DC Agent's end of the agent-collector link. One TCP connection to every
// Collector of coll-list.ini; every record the logon pipeline hands over goes to each Collector
// that is connected at the time, as one DATA message (see dcalink_protocol.h). A monitor loop
// reconnects the Collectors that are down, once a minute; its first pass makes the first
// connections.
//
// Life cycle: dcaclient_init() once during start-up (the node list and the crypto handle live
// until the process ends; dcaclient_reset() exists for the tests), then the monitor runs on a
// pool worker for good.
//
// Threads: dcaclient_send_userinfo() runs on pool workers under the pipeline's client lock, so
// sends never interleave. The monitor does not take that lock (a reconnect can take seconds and
// would hold up every send): each node has a lock of its own instead, held by the sender for a
// send with its immediate reconnect and by the monitor for a reconnect, so one reconnect happens
// at a time per node. The connected flag is read without the node lock.
#pragma once

#include <cstddef>

#include "common/net.h"

struct UserInfo;
struct coll_node;

// The agent's encryption type, sent in the REQUEST and in every DATA header.
constexpr std::uint8_t DCACLIENT_ENCRYPTION = 2;

// Creates the crypto handle and a node (with its network handle) for each collector entry, in
// list order. 0, or -1 when the crypto handle cannot be created (also for a second call).
int dcaclient_init(coll_node *collectors);
int dcaclient_crypto_init();
// Appends a node for the entry. 0.
int dcaclient_add_node(coll_node *entry);
// A network handle for each node in order; the first failure leaves it and every later node
// without one. 0, or -1.
int dcaclient_net_init();

// Opens the handle's connection and runs the handshake. 0, or -1 (the socket is closed again).
int dcaclient_connect(net_handle *handle);
int dcaclient_peer_handshake(net_handle *handle);
int dcaclient_send_request(net_handle *handle);     // 1 sent, -1
int dcaclient_receive_response(net_handle *handle); // 1 accepted, 0 closed, -1

// Sends the record to every connected Collector, reconnecting at once a Collector whose send
// failed. The caller holds the client lock and keeps the record. Always 0.
int dcaclient_send_userinfo(const UserInfo *record);
// One DATA message with the record: 1 sent, -1.
int dcaclient_send_data(const UserInfo *record, net_handle *handle);

int dcaclient_net_open(net_handle *handle);
void dcaclient_net_close(net_handle *handle);
int dcaclient_net_send(const void *buffer, std::size_t length, net_handle *handle);
long long dcaclient_net_recv(void *buffer, std::size_t capacity, net_handle *handle);

// The monitor's body (pool job; the argument is unused); never returns.
void monitor_dcaserver_workerthread(void *argument);
// One pass of the monitor: connects every node that is not connected. The number of nodes
// connected in this pass.
int dcaclient_monitor_pass();

// The number of nodes, and whether node index (list order) is connected (tests, tools).
int dcaclient_node_count();
int dcaclient_node_connected(int index);
// Forgets the nodes and the crypto handle (tests only; nothing may be sending).
void dcaclient_reset();
