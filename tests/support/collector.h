// Helpers for the tests that run a Collector's parts inside the test process: the environment
// its modules expect, the update queue drained without waiting, and the rows of a store read
// back through SQLite.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "userdb/userinfo.h"

namespace nivo_test {

// The clock's seconds, as the store keeps them.
std::int32_t now_seconds();

// A logon (flags UI_FLAG_LOGON, type UI_LOGON_DC) of user in domain at ip, created at create (now
// when 0) and expiring at expire (create + 600 when 0). Any text may be null.
UserInfo *make_logon(const char16_t *user, const char16_t *domain, const char16_t *ip,
                     std::int32_t create = 0, std::int32_t expire = 0,
                     std::int32_t flags = UI_FLAG_LOGON);

// Everything queued for the appliances so far, in order. A marker record of this function's own
// ends the take, so that an empty queue never blocks; it is freed here.
std::vector<userinfo_ptr> drain_update_queue();

// What the queue holds once at least count records have come (or timeout_ms has passed): a record
// is queued for the appliances just after it is stored, so a test that saw it stored waits here.
std::vector<userinfo_ptr> take_update_queue(std::size_t count, int timeout_ms = 15000);

// One row of a store's UserInfo table; a NULL text column reads "<null>".
struct store_row {
    std::int32_t rowid;
    std::string user, domain, ip;
    std::int32_t create, expire, logon_type, flags;
};

// The rows of the store at db that match where (an SQL condition), in rowid order; a store that
// cannot be read is a test failure.
std::vector<store_row> store_rows(const std::string &db, const std::string &where = "1");
// How many of them there are; none while the file or its table cannot be read (a service may be
// creating it), so that it can be waited on.
int store_count(const std::string &db, const std::string &where);

// Runs sql on the store at db, waiting up to 5 seconds for its lock: "" or the error.
std::string store_exec(const std::string &db, const std::string &sql);
// Stores logons of domain example.test at (user, address), created now and due in seconds, as a
// detector stores them: "" or the error.
std::string store_logons(const std::string &db,
                         const std::vector<std::pair<std::string, std::string>> &logons,
                         int seconds);

// A Collector's parts in the test process, all undone by TearDown: the log at LOG_DEBUG, the
// registry stored under dir/registry, the dead-entry store off (timeout 0), empty filter lists,
// the host domain given, the update queue and the store dir/nivo.db3 with its table UserInfo.
class collector_fixture : public log_fixture {
  protected:
    explicit collector_fixture(const char16_t *domain = u"CORP",
                               const char16_t *fqdn = u"corp.example")
        : domain_(domain), fqdn_(fqdn)
    {
    }
    void SetUp() override;
    void TearDown() override;
    std::vector<store_row> rows(const std::string &where = "1") const
    {
        return store_rows(dir.file("nivo.db3"), where);
    }

  private:
    const char16_t *domain_;
    const char16_t *fqdn_;
};

} // namespace nivo_test
