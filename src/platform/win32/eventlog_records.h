// eventlog_records: the rewrite of the system's event records (EVENTLOGRECORD) into the
// eventlog_record layout of eventlog.h, for the event log's read and its tests.
#pragma once

#include <cstddef>

// Rewrites the whole records in buffer[0, length) in place: each becomes an eventlog_record
// header and the insertion strings that end inside it, padded to a multiple of 4 bytes. Returns
// the bytes rewritten (never more than length); the first record that is not whole ends it.
// The buffer may have any alignment.
std::size_t eventlog_rewrite_records(unsigned char *buffer, std::size_t length);
