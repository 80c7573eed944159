// dca_ha: the primary/backup pair of session-polling agents.
//
// The primary listens on its monitored TCP port and accepts every connection, closing it at once:
// a completed connection is the whole sign of life, the link carries no data. The backup
// connects to the primary once per check period (60 seconds); while it can, it keeps the poll
// jobs silent (poll flag 0); when three connects in a row fail it logs "Primary DCA Agent found
// Dead" and lets them poll (poll flag 1), until a later check reaches the primary again.
//
// Life cycle: start-up calls dca_ha_init() once, when HA-ENABLED is TRUE, and then submits
// dca_ha_primary_thread or dca_ha_backup_thread to the thread pool, where it runs for the life of
// the process. Each role keeps its own handle, so that a test can run a primary and its backup in
// one process; the service initialises one role only. The loops share only the poll flag with
// the poll jobs.
#pragma once

struct config_record;

// Default pause between two checks of the backup, in milliseconds.
constexpr unsigned int DCA_HA_CHECK_PERIOD_MS = 60000;
// Pause of the primary's accept loop after a failed accept (a socket that could not be opened).
constexpr unsigned int DCA_HA_ACCEPT_RETRY_MS = 1000;

// Makes the handle of the role named by HA-MODE (PRIMARY: listens on MONITORED-PORT of all local
// addresses and sets the poll flag to 1; any other mode: a client towards MONITORING-IP and
// MONITORING-PORT, not yet connected, and the poll flag 0). 0, or -1 (logged); a handle of the
// same role from an earlier call is released first (its loop must have ended). Start-up does
// not check the result.
int dca_ha_init(const config_record *cfg);

// The primary's accept loop (a thread-pool job; the argument is not used). Returns only after
// dca_ha_primary_stop(), closing the listening socket as it ends.
void dca_ha_primary_thread(void *argument);

// The backup's liveness loop (a thread-pool job; the argument is not used). Returns only after
// dca_ha_backup_stop().
void dca_ha_backup_thread(void *argument);

// For tests and tools (the service never stops them): end the loop at its next pause or
// accept. A loop may be started again afterwards.
void dca_ha_primary_stop();
void dca_ha_backup_stop();
// Releases both roles' handles once their loops have ended (tests).
void dca_ha_fini();
// For tests only: the backup's check period in milliseconds (0 restores the 60 seconds). It is
// no nivo.ini key.
void dca_ha_set_check_period_ms(unsigned int milliseconds);
