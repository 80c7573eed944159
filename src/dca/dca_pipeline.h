// dca_pipeline: the DC Agent's road for every detected logon. A detector hands a fresh record
// to dca_enqueue_userinfo(); one thread-pool job per record completes it (workstation address
// by name resolution, the host domain), filters it, and delivers it: to the Collectors through
// the agent client, and, when the Collector runs in this same service, also into the local
// store and the appliances' update queue.
//
// Life cycle: during the single-threaded start-up, dca_set_local_cidmgr() or
// dca_clear_local_cidmgr(), then dca_client_init(); only then are detectors started. Nothing is
// torn down while the service runs (dca_pipeline_reset() exists for the tests).
//
// Threads: any number of jobs run at once. The local-collector flag and the filter lists are
// written during start-up only. The client lock serialises each record's whole send sequence.
//
// Ownership: a record handed to dca_enqueue_userinfo() belongs to the pipeline, which frees it
// or hands it to the update queue, whatever happens.
#pragma once

#include "userdb/userinfo.h"

struct coll_node;

// The Collector runs in this service (1) or elsewhere (0).
void dca_set_local_cidmgr();
void dca_clear_local_cidmgr();
int dca_get_local_cidmgr();

// Initialises the agent client for the collector list and creates the client lock. 0, or -1
// (also for a second call).
int dca_client_init(coll_node *collectors);

// Submits one dca_workerthread job for the record at the tail of the pool's list. 0 when
// submitted; -1 when not (the record has been released).
int dca_enqueue_userinfo(UserInfo *record);

// The per-record job (argument: the record, which it owns).
void dca_workerthread(void *record);

// Resolves WrkstName: the first authorised IPv4 address becomes WrkstIP, up to two more become
// additional addresses, in the resolver's order. 0 (also when no usable address was found), or
// -1 when there is no name or it cannot be resolved.
int dca_resolve_wrkstip(UserInfo *record);

// Delivery of a completed logon (takes the record). The result of the agent client's send.
int dca_add_userinfo(UserInfo *record);

// The local store path: one row per address (takes the record). 0, or -1.
int dca_add_userinfo_db(UserInfo *record);
// Stores one row and queues it for the appliances with Flags 5 (takes the record). 0 also for a
// logon that was already stored (then nothing is queued), -1 on failure.
int dca_insert_userinfo_db(UserInfo *record);

// The remote path: the record to every Collector, the additional addresses first and the
// primary last, under the client lock (takes the record). 0 when sent, 1 when kept by the agent
// client for a Collector that is down (sent once it is back), or -1.
int dca_add_userinfo_dcaclient(UserInfo *record);
int dca_remove_userinfo_dcaclient(UserInfo *record);

// Writes every set field of the record at level 5.
void dca_log_userinfo(const UserInfo *record);

// Forgets the flags and the client state (tests only).
void dca_pipeline_reset();
