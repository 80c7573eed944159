// The service's life cycle with the real executable: start, logs, maintenance, stop, and a
// start-up that fails.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::temp_dir;

namespace {

TEST(Service, StartsWritesBothLogsAndStopsOnSigterm)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    ASSERT_TRUE(
        nivo.wait_for_log(base + "/nivo.log", "nivo_init: Initialization Finished\n", 15000))
        << nivo.err();

    std::string log_bytes = nivo_test::read_file(base + "/nivo.log");
    EXPECT_EQ(log_bytes.substr(0, 4), std::string("\r\0\n\0", 4)); // UTF-16LE, no mark
    EXPECT_NE(nivo_test::utf16le_to_utf8(log_bytes).find("----------- Vantelor TESSALINE"),
              std::string::npos);
    EXPECT_NE(nivo_test::log_text(base + "/logging_events.log")
                  .find("-------------------------- Logging Events --------------------------"),
              std::string::npos);

    // The maintenance loop runs once a second.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (nivo.out().find("Doing Maintainance Work\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(nivo.out().find("Doing Maintainance Work\n"), std::string::npos);

    auto stop_sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(1000), 0) << "not stopped within a second";
    EXPECT_LT(std::chrono::steady_clock::now() - stop_sent, std::chrono::seconds(1));
    EXPECT_TRUE(nivo.wait_for_log(base + "/nivo.log", "Vantelor Tessaline is Shutdown\n", 100));
    std::string err = nivo.err();
    EXPECT_NE(err.find("SetTheServiceStatus(), SERVICE_RUNNING.\n"), std::string::npos);
    EXPECT_NE(err.find("SetTheServiceStatus(), SERVICE_STOPPED.\n"), std::string::npos);
    EXPECT_NE(err.find("StartServiceCtrlDispatcher() returned!\n"), std::string::npos);
}

TEST(Service, InterruptStopsAsWellAndAppendsToTheLog)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run);
        daemon_process nivo(NIVO_BINARY, base);
        ASSERT_TRUE(
            nivo.wait_for_log(base + "/nivo.log", "Initialization Finished", 15000, run + 1));
        ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_INTERRUPT));
        EXPECT_EQ(nivo.wait_exit(1000), 0);
    }
    // The second start appended: two banners, two shutdowns.
    std::string text = nivo_test::log_text(base + "/nivo.log");
    std::size_t first = text.find("Tessaline is Shutdown");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("Tessaline is Shutdown", first + 1), std::string::npos);
}

TEST(Service, AKillRightAfterStartUpKeepsItsOutcome)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (nivo.err().find("SERVICE_RUNNING.") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_KILL));
    EXPECT_NE(nivo.wait_exit(5000), -1);
    EXPECT_NE(nivo_test::log_text(base + "/nivo.log").find("nivo_init: Initialization Finished"),
              std::string::npos);
}

TEST(Service, AFailedStartUpEndsWithAnErrorStatusAndReport)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    // The log cannot be created: the base directory does not exist.
    daemon_process nivo(NIVO_BINARY, dir.file("missing"));
    int status = nivo.wait_exit(5000);
    EXPECT_GT(status, 0);
    std::string err = nivo.err();
    EXPECT_NE(err.find("log_open_loggingfile: Loggingfile '" + dir.file("missing") +
                       "/nivo.log' couldn't open: "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("nivo_init: log file initialization failed\n"), std::string::npos);
    EXPECT_NE(err.find("API = nivo_init(), error code = "), std::string::npos);
    EXPECT_NE(err.find("SetTheServiceStatus(), SERVICE_STOPPED.\n"), std::string::npos);
}

} // namespace
