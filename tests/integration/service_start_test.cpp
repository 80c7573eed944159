// The service's life cycle with the real executable: the example starts (moving a damaged store
// aside), writes its logs and its store, stops on SIGTERM and SIGINT; start-ups that fail say
// why; and what the cipher tool writes is what the service reads.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "config/config.h"
#include "config/config_parse.h"
#include "platform/process.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::log_text;
using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

// What the sqlite3 shell prints for sql on the database db.
std::string
shell(const std::string &db, const std::string &sql)
{
    std::string out;
    nivo_test::run_tool({"/usr/bin/sqlite3", db, sql}, &out);
    return out;
}

bool
contains(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

TEST(ServiceStart, TheExampleStartsWritesItsLogsAndStoreAndStops)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    std::string log = base + "/nivo.log";
    std::string db = base + "/nivo.db3";
    // A damaged store is moved aside and the Collector starts with an empty one.
    ASSERT_TRUE(nivo_test::write_file(db, std::string(16384, '\x5a')));
    {
        daemon_process nivo(NIVO_BINARY, base);
        ASSERT_TRUE(nivo.ready()) << nivo.err();
        std::string text = log_text(log);
        EXPECT_TRUE(contains(text, "----------- Vantelor TESSALINE"));
        EXPECT_TRUE(contains(text, "nivo_init: configuration file parsed successfully"));
        EXPECT_TRUE(contains(text, "\tUSER[1]: svc_backup"));
        EXPECT_TRUE(contains(text, "nivo_init: Userinfo Database Validated"));
        std::size_t at =
            text.find("userdb_move_damaged_db: USERDB '" + db +
                      "' is damaged (file is not a database); moved to '" + db + ".damaged-");
        ASSERT_NE(at, std::string::npos) << text;
        EXPECT_EQ(text.substr(text.rfind('\n', at) + 1, 6), "ERROR\t"); // level 2
        EXPECT_TRUE(contains(log_text(base + "/logging_events.log"),
                             "-------------------------- Logging Events ------------------"));
        EXPECT_EQ(shell(db, "PRAGMA encoding;"), "UTF-16le\n");
        EXPECT_TRUE(contains(shell(db, ".schema UserInfo"),
                             "CREATE TABLE UserInfo (rowid INTEGER PRIMARY KEY AUTOINCREMENT, "
                             "user TEXT DEFAULT NULL, domain TEXT DEFAULT NULL, usergroup TEXT "
                             "DEFAULT NULL, wrkst_name TEXT DEFAULT NULL, wrkst_ip TEXT DEFAULT "
                             "NULL, create_time NUMERIC, expire_time NUMERIC, logon_type "
                             "INTEGER, flags INTEGER);"));
        // The maintenance loop runs once a second.
        EXPECT_TRUE(nivo_test::eventually(
            [&] { return contains(nivo.out(), "Doing Maintainance Work\n"); }));

        auto stop_sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
        EXPECT_EQ(nivo.wait_exit(1000), 0) << "not stopped within a second";
        EXPECT_LT(std::chrono::steady_clock::now() - stop_sent, std::chrono::seconds(1));
        EXPECT_TRUE(nivo.wait_for_log(log, "Vantelor Tessaline is Shutdown\n", 100));
        for (const char *line : {"SetTheServiceStatus(), SERVICE_RUNNING.\n",
                                 "SetTheServiceStatus(), SERVICE_STOPPED.\n",
                                 "StartServiceCtrlDispatcher() returned!\n"}) {
            EXPECT_TRUE(contains(nivo.err(), line)) << line;
        }
    }

    // A row left under a logoff check is live again after the next start, which appends to the
    // log and stops on an interrupt as well.
    shell(db, "INSERT INTO UserInfo (user, domain, wrkst_ip, create_time, expire_time, logon_type, "
              "flags) VALUES ('alice', 'corp.example', '10.0.0.5', 1, 601, 2, 2);");
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.ready(2));
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_INTERRUPT));
    EXPECT_EQ(nivo.wait_exit(1000), 0);
    EXPECT_EQ(nivo_test::count_of(log_text(log), "Tessaline is Shutdown"), 2u);
    EXPECT_EQ(shell(db, "SELECT user, flags FROM UserInfo;"), "alice|1\n");

    // Killed right after it says it runs, its start-up's outcome is in the log all the same.
    daemon_process killed(NIVO_BINARY, base);
    nivo_test::eventually([&] { return contains(killed.err(), "SERVICE_RUNNING."); }, 15000, 1);
    ASSERT_TRUE(killed.signal(PLATFORM_SIGNAL_KILL));
    EXPECT_NE(killed.wait_exit(5000), -1);
    EXPECT_EQ(nivo_test::count_of(log_text(log), "nivo_init: Initialization Finished"), 3u);
}

TEST(ServiceStart, FailedStartsEndWithAnErrorStatusAndTheirReason)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    struct failed_start {
        const char *ini;  // nivo.ini, or the example's when null
        bool no_base;     // the base directory does not exist: no log can be made
        bool db_is_dir;   // nivo.db3 is a directory
        const char *said; // in the standard error, or in the log when it starts with "nivo_init"
    };
    const failed_start cases[] = {
        {nullptr, true, false, "/nivo.log' couldn't open: "},
        {"[NIV-COLLECTOR]\nENABLED=TRUE\n", false, false,
         "nivo_init: configuration file parsing failed"}, // no HOST-DOMAIN
        {nullptr, false, true,
         "API = nivo_init(), error code = 21, message = unable to open database file (Is a "
         "directory)\n"},
    };
    for (const failed_start &c : cases) {
        SCOPED_TRACE(c.said);
        temp_dir dir;
        std::string base = dir.file("base");
        if (c.ini != nullptr) {
            std::filesystem::create_directory(base);
            ASSERT_TRUE(nivo_test::write_file(base + "/nivo.ini", c.ini));
        } else if (!c.no_base) {
            nivo_test::copy_example_base(NIVO_SOURCE_DIR, base);
        }
        if (c.db_is_dir) {
            std::filesystem::create_directory(base + "/nivo.db3");
        }
        daemon_process nivo(NIVO_BINARY, base);
        EXPECT_GT(nivo.wait_exit(10000), 0);
        std::string said = std::string(c.said).rfind("nivo_init", 0) == 0
                               ? log_text(base + "/nivo.log")
                               : nivo.err();
        EXPECT_TRUE(contains(said, c.said)) << said;
        EXPECT_TRUE(contains(nivo.err(), "SetTheServiceStatus(), SERVICE_STOPPED.\n"));
    }
}

// The example with its agent in NETAPI mode and the ini changes given, and dc-list.ini.
std::string
netapi_base(const temp_dir &dir, const std::string &name,
            std::vector<std::pair<std::string, std::string>> changes, const std::string &dc_list)
{
    changes.insert(changes.begin(), {"DCA-MODE=EVENTLOG", "DCA-MODE=NETAPI"});
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file(name), changes);
    nivo_test::write_file(base + "/dc-list.ini", dc_list);
    return base;
}

TEST(ServiceStart, SessionPollingAgentsStartTheirJobsOrSayWhyNot)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    // No domain controller: said, and the agent starts all the same.
    std::string base = netapi_base(dir, "empty", {}, "; none yet\n");
    {
        daemon_process nivo(NIVO_BINARY, base);
        ASSERT_TRUE(nivo.ready()) << nivo.err() << log_text(nivo.log());
        EXPECT_EQ(nivo_test::logged_at(base + "/nivo.log", "NOTICE",
                                       "nivo_init: Domain Controller list is Empty\n"),
                  1u);
        EXPECT_TRUE(contains(log_text(base + "/nivo.log"), "dca_set_poll_dc: g_poll_dc set to 1"));
    }
    // An agent alone: one job per domain controller, polling at the interval given (at most 15
    // seconds); the HA primary starts its accept loop. Names without backslashes get them. The
    // helper answers nothing: every pass says the DC failed, and why.
    std::string helper = dir.file("helper");
    nivo_test::write_file(helper, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(helper, std::filesystem::perms::owner_all);
    base = netapi_base(
        dir, "two",
        {{"DC-POLL-INTERVAL=0", "DC-POLL-INTERVAL=20"},
         {"HA-ENABLED=FALSE", "HA-ENABLED=TRUE"},
         {"[NIV-COLLECTOR]\n; The Collector: keeps the current logons and tells the appliances of "
          "gw-list.ini.\nENABLED=TRUE",
          "[NIV-COLLECTOR]\nENABLED=FALSE"}},
        "\\\\127.0.0.1\n127.0.0.2\n");
    daemon_process nivo(NIVO_BINARY, base, {"NIVO_WRKST_HELPER=" + helper});
    ASSERT_TRUE(nivo.ready()) << nivo.err() << log_text(nivo.log());
    std::string log = log_text(base + "/nivo.log");
    for (const char *line : {"DC Poll Interval set to '15' seconds\n",
                             "nivo_init: NETAPI DCAgent for DC '\\\\127.0.0.1' started\n",
                             "nivo_init: NETAPI DCAgent for DC '\\\\127.0.0.2' started\n",
                             "nivo_init: NETAPI DCAgent HA thread started as primary\n"}) {
        EXPECT_TRUE(contains(log, line)) << line;
    }
    EXPECT_TRUE(nivo.wait_for_log(base + "/nivo.log",
                                  "Unable to Query DC: '\\\\127.0.0.2': Error: 53\n", 15000));
    EXPECT_TRUE(contains(log_text(base + "/nivo.log"),
                         "dca_netsession: nivo-wrkst sessions 127.0.0.2 0: answer not understood"));
}

// Runs the cipher tool to its end with input on its standard input: its status and output.
int
cipher(const temp_dir &dir, std::vector<std::string> args, std::string *out,
       const std::string &input = "")
{
    args.insert(args.begin(), NIVO_BUILD_DIR "/nivo-cipher");
    nivo_test::write_file(dir.file("stdin.txt"), input);
    int status = nivo_test::run_program(
        args, {.in = dir.file("stdin.txt"), .out = dir.file("out.txt"), .err = "/dev/null"});
    *out = read_file(dir.file("out.txt"));
    return status;
}

TEST(CipherTool, RoundTripsAndTheServiceReadsItsOutput)
{
    temp_dir dir;
    std::string out;
    for (const std::string &text :
         {std::string(), std::string("p\xc3\xa4ss w'rd=;\""),
          std::string("\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91"), std::string(334, 'x')}) {
        // The text comes on standard input, as an operator would type a password.
        ASSERT_EQ(cipher(dir, {"encipher"}, &out, text + "\n"), 0) << text;
        std::string value = out.substr(0, out.find('\n'));
        ASSERT_EQ(value.size(), 10 + 3 * text.size());
        EXPECT_EQ(cipher(dir, {"decipher", value}, &out), 0);
        EXPECT_EQ(out, text + "\n");
        config_record record{};
        ASSERT_EQ(parse_keyvalue_accountcred(&record, nivo_test::u16("PASSWORD=" + value).c_str()),
                  0);
        EXPECT_EQ(nivo_test::u8(record.password), text);
        config_release(&record);
    }
    EXPECT_EQ(cipher(dir, {"encipher", std::string(335, 'x')}, &out), 1);
    EXPECT_EQ(cipher(dir, {"encipher", "--key", "short", "x"}, &out), 2);
    EXPECT_EQ(cipher(dir, {"bytelist", "corp.\xc3\xa9"}, &out), 0);
    EXPECT_EQ(out, "99'0'111'0'114'0'112'0'46'0'233'0'\n");
}

} // namespace
