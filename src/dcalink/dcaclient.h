// dcaclient: the DC Agent's end of the agent-collector link. One TCP connection to every
// Collector of coll-list.ini; every record the logon pipeline hands over goes to each Collector
// as one DATA message (see dcalink_protocol.h). A record that cannot go to a Collector at once
// (it is down, or its connection broke and the immediate reconnect failed) is kept for it in a
// bounded backlog, oldest first, and sent in order before anything newer once the Collector is
// connected again. A monitor loop reconnects the Collectors that are down: its first pass makes
// the first connections; after a failure it tries again 1 s later, the delay doubling up to a
// minute, and once a minute while every Collector is connected.
//
// Life cycle: dcaclient_init() once during start-up (the node list and the crypto handle live
// until the process ends; dcaclient_reset() exists for the tests), then the monitor runs on a
// pool worker for good.
//
// Threads: dcaclient_send_userinfo() runs on pool workers under the pipeline's client lock, so
// sends never interleave. The monitor does not take that lock (a reconnect can take seconds and
// would hold up every send): each node has a lock of its own instead, held for every use of its
// connection (a send, a reconnect, the replay of its backlog), so one reconnect happens at a time
// per node. A sender that finds that lock taken leaves its record in the backlog, which the
// holder sends before letting go. The backlog has a lock of its own, held for a moment only. The
// connected flag is read without a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/net.h"

struct UserInfo;
struct coll_node;

// The agent's encryption type, sent in the REQUEST and in every DATA header.
constexpr std::uint8_t DCACLIENT_ENCRYPTION = 2;

// The most a backlog keeps for one Collector: 10,000 records (about ten minutes of a busy domain
// controller), and 8 MiB of messages should the records be unusually long. Beyond either bound
// the oldest records are dropped, and the monitor counts them in a level 2 line.
constexpr std::size_t DCACLIENT_BACKLOG_RECORDS = 10000;
constexpr std::size_t DCACLIENT_BACKLOG_BYTES = 8u << 20;
// The monitor's delay before it tries a Collector again after a failure, doubled after every
// failed attempt up to the monitor's period (milliseconds).
constexpr unsigned int DCACLIENT_RETRY_FIRST_MS = 1000;
constexpr unsigned int DCACLIENT_RETRY_MAX_MS = 60 * 1000;

// Results of dcaclient_send_userinfo().
enum : int {
    DCACLIENT_SENT = 0, // sent to every Collector that has a network handle
    DCACLIENT_KEPT = 1, // not yet sent to one or more of them: kept in their backlogs
};

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

// Sends the record to every Collector that has a network handle, after what is kept for it;
// a Collector whose send fails is reconnected at once, and one that is down gets the record in
// its backlog. The caller holds the client lock and keeps the record. DCACLIENT_SENT (also
// without any Collector), DCACLIENT_KEPT, or -1 when the message cannot be made, cannot be kept
// for a Collector that is down (out of memory), or no Collector has a network handle.
int dcaclient_send_userinfo(const UserInfo *record);
// One DATA message with the record: 1 sent, -1.
int dcaclient_send_data(const UserInfo *record, net_handle *handle);

int dcaclient_net_open(net_handle *handle);
void dcaclient_net_close(net_handle *handle);
int dcaclient_net_send(const void *buffer, std::size_t length, net_handle *handle);
long long dcaclient_net_recv(void *buffer, std::size_t capacity, net_handle *handle);

// The monitor's body (pool job; the argument is unused); never returns.
void monitor_dcaserver_workerthread(void *argument);
// One pass of the monitor over every node, whatever its retry delay: a node that is not
// connected is connected and sent its backlog. The number of nodes connected in this pass.
int dcaclient_monitor_pass();

// The number of nodes, whether node index (list order) is connected, the records kept for it,
// and the monitor's delay after its next failed attempt in milliseconds (tests, tools).
int dcaclient_node_count();
int dcaclient_node_connected(int index);
std::size_t dcaclient_node_backlog(int index);
unsigned int dcaclient_node_retry_ms(int index);
// Forgets the nodes and the crypto handle (tests only; nothing may be sending).
void dcaclient_reset();
