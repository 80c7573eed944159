// The Collector's store at start-up with the real service: nivo.db3 is created in the base
// directory, opens in the sqlite3 shell as UTF-16le with the UserInfo table, rows a previous run
// left under a logoff check are live again after the next start, a damaged file is moved aside,
// and a file that cannot be opened stops the start with SQLite's reason.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/process.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

std::string
shell(const temp_dir &dir, const std::string &db, const char *sql)
{
    std::string out = dir.file("shell.txt");
    const char *argv[] = {"/usr/bin/sqlite3", db.c_str(), sql, nullptr};
    const char *env[] = {nullptr};
    platform_process_options options{argv, env, nullptr, out.c_str(), out.c_str()};
    platform_process *p = platform_process_start(options);
    if (p == nullptr) {
        return "<not started>";
    }
    int status = -1;
    platform_process_wait(p, 20000, &status);
    platform_process_close(p);
    return read_file(out);
}

// A base directory with the example's configuration.
std::string
example_base(const temp_dir &dir)
{
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    for (const auto &entry : std::filesystem::directory_iterator(NIVO_SOURCE_DIR "/example")) {
        std::filesystem::copy_file(entry.path(), base + "/" + entry.path().filename().string());
    }
    return base;
}

void
run_until_started(const std::string &base, int run)
{
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    ASSERT_TRUE(
        nivo.wait_for_log(base + "/nivo.log", "nivo_init: Initialization Finished", 10000, run))
        << nivo.err();
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(10000), 0);
}

TEST(UserStoreStart, TheServiceCreatesAUtf16DatabaseAndRevalidatesIt)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = example_base(dir);
    run_until_started(base, 1);
    std::string log = nivo_test::log_text(base + "/nivo.log");
    EXPECT_NE(log.find("nivo_init: Userinfo Database Validated"), std::string::npos);
    EXPECT_NE(log.find("nivo_init: GW Update Queue Initializated"), std::string::npos);

    std::string db = base + "/nivo.db3";
    ASSERT_TRUE(std::filesystem::exists(db));
    EXPECT_EQ(shell(dir, db, "PRAGMA encoding;"), "UTF-16le\n");
    EXPECT_NE(shell(dir, db, ".schema UserInfo")
                  .find("CREATE TABLE UserInfo (rowid INTEGER PRIMARY KEY AUTOINCREMENT, user "
                        "TEXT DEFAULT NULL, domain TEXT DEFAULT NULL, usergroup TEXT DEFAULT "
                        "NULL, wrkst_name TEXT DEFAULT NULL, wrkst_ip TEXT DEFAULT NULL, "
                        "create_time NUMERIC, expire_time NUMERIC, logon_type INTEGER, flags "
                        "INTEGER);"),
              std::string::npos);

    // A row left under a logoff check is live again after the next start.
    shell(dir, db,
          "INSERT INTO UserInfo (user, domain, wrkst_ip, create_time, expire_time, logon_type, "
          "flags) VALUES ('alice', 'corp.example', '10.0.0.5', 1, 601, 2, 2);");
    run_until_started(base, 2);
    EXPECT_EQ(shell(dir, db, "SELECT user, flags FROM UserInfo;"), "alice|1\n");
}

TEST(UserStoreStart, ADamagedDatabaseIsMovedAsideAndTheCollectorStarts)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = example_base(dir);
    std::string junk(16384, '\x5a');
    ASSERT_TRUE(nivo_test::write_file(base + "/nivo.db3", junk));
    run_until_started(base, 1);
    std::string moved;
    for (const auto &entry : std::filesystem::directory_iterator(base)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("nivo.db3.damaged-", 0) == 0 && (moved.empty() || name < moved)) {
            moved = name;
        }
    }
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(read_file(base + "/" + moved), junk);
    std::string log = nivo_test::log_text(base + "/nivo.log");
    std::size_t at = log.find("userdb_move_damaged_db: USERDB '" + base +
                              "/nivo.db3' is damaged (file is not a database); moved to '" + base +
                              "/" + moved + "', starting with an empty store");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.substr(log.rfind('\n', at) + 1, 6), "ERROR\t"); // level 2
    EXPECT_EQ(shell(dir, base + "/nivo.db3", "SELECT count(*) FROM UserInfo;"), "0\n");
}

TEST(UserStoreStart, AStoreThatCannotBeOpenedStopsTheStartWithSqlitesReason)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = example_base(dir);
    std::filesystem::create_directory(base + "/nivo.db3");
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    EXPECT_GT(nivo.wait_exit(10000), 0);
    EXPECT_NE(nivo.err().find("API = nivo_init(), error code = 21, message = unable to open "
                              "database file (Is a directory)\n"),
              std::string::npos)
        << nivo.err();
    EXPECT_TRUE(std::filesystem::is_directory(base + "/nivo.db3")); // not damage: left alone
}

} // namespace
