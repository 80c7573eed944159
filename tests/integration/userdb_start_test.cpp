// The Collector's store at start-up with the real service: nivo.db3 is created in the base
// directory, opens in the sqlite3 shell as UTF-16le with the UserInfo table, and rows a previous
// run left under a logoff check are live again after the next start.

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
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    for (const auto &entry : std::filesystem::directory_iterator(NIVO_SOURCE_DIR "/example")) {
        std::filesystem::copy_file(entry.path(), base + "/" + entry.path().filename().string());
    }
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

} // namespace
