// A Collector on a tmpfs of 8 MiB: once the disk is full, the logons not stored are counted on
// standard error and in the status line, the stored ones still reach the appliance, and after
// space is freed the store writes again.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/collector.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

// A Collector only, at LOG-LEVEL 3.
std::string
collector_ini()
{
    return "[SETTINGS]\nHOST-DOMAIN=" + nivo_test::byte_list("EXAMPLE") +
           "\nHOST-DOMAIN-FQDN=" + nivo_test::byte_list("example.test") +
           "\n[NIV-AGENT]\nENABLED=FALSE\n[NIV-COLLECTOR]\nENABLED=TRUE\n"
           "DCASERVER-PORT=5566\nTSSO-SERVER-PORT=6677\n"
           "DEAD-ENTRY-TIMEOUT=0\n[LOGGING]\nLOG-LEVEL=3\n";
}

// Appends the service's notifications on a datagram socket to a file, for the given seconds.
constexpr const char *NOTIFY_LISTENER = R"(import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
end = time.monotonic() + float(sys.argv[3])
with open(sys.argv[2], "ab", buffering=0) as f:
    while time.monotonic() < end:
        s.settimeout(max(0.01, end - time.monotonic()))
        f.write(s.recv(4096) + b"\n")
)";

// A tmpfs mounted on a directory, unmounted again before the directory is removed.
struct tmpfs_mount {
    std::string path;
    bool mounted = false;
    tmpfs_mount(const std::string &where, const std::string &size, const std::string &out)
        : path(where)
    {
        std::filesystem::create_directory(path);
        mounted =
            nivo_test::run_tool(
                {"/usr/bin/mount", "-t", "tmpfs", "-o", "size=" + size, "tmpfs", path}, out) == 0;
    }
    ~tmpfs_mount()
    {
        if (mounted) {
            nivo_test::run_tool({"/usr/bin/umount", "-l", path}, path + ".umount");
        }
    }
    tmpfs_mount(const tmpfs_mount &) = delete;
    tmpfs_mount &operator=(const tmpfs_mount &) = delete;
};

// The count of the last "N logons not stored" report on standard error (0 when none).
long
last_unstored(const std::string &err)
{
    const std::string tail = " logons not stored";
    std::size_t at = err.rfind(tail);
    if (at == std::string::npos) {
        return 0;
    }
    std::size_t start = err.rfind(' ', at - 1);
    return std::atol(err.c_str() + (start == std::string::npos ? 0 : start + 1));
}

// The users whose logon the appliance simulator received, with the given name prefix.
std::set<std::string>
logons_seen(const std::string &gwsim_out, const std::string &prefix)
{
    std::set<std::string> users;
    std::istringstream lines(read_file(gwsim_out));
    const std::string head = "logon user=" + prefix;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(head, 0) == 0) {
            users.insert(line.substr(11, line.find(' ', 11) - 11));
        }
    }
    return users;
}

// Fills the file system with one file until it refuses another byte.
void
fill_disk(const std::string &path)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::vector<char> block(64 * 1024, 'x');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
           std::fflush(file) == 0) {
    }
    std::fclose(file);
}

TEST(StoreOnAFullDisk, TheLogStaysSmallAndLogonsNotStoredAreToldWithTheirCount)
{
    if (nivo_test::ran_in_own_network_namespace(true)) {
        return;
    }
    temp_dir dir;
    tmpfs_mount disk(dir.file("base"), "8m", dir.file("mount.txt"));
    ASSERT_TRUE(disk.mounted) << read_file(dir.file("mount.txt"));
    const std::string &base = disk.path;
    nivo_test::write_file(base + "/nivo.ini", collector_ini());
    nivo_test::write_file(base + "/gw-list.ini", "127.0.0.2:6060\n");
    std::string db = base + "/nivo.db3";

    std::string socket_path = dir.file("notify.sock");
    std::string notes = dir.file("notify.txt");
    nivo_test::background_program listener(nivo_test::start_program(
        {"/usr/bin/python3", "-c", NOTIFY_LISTENER, socket_path, notes, "240"},
        {.out = dir.file("listener.txt")}));
    ASSERT_TRUE(
        nivo_test::eventually([&] { return nivo_test::file_exists(socket_path); }, 10000, 200))
        << read_file(dir.file("listener.txt"));
    daemon_process nivo(NIVO_BINARY, base, {"NOTIFY_SOCKET=" + socket_path});
    ASSERT_TRUE(nivo.ready()) << nivo.err();
    std::string gwsim_out = dir.file("gwsim.txt");
    nivo_test::background_program gwsim =
        nivo_test::active_appliance(NIVO_BUILD_DIR, gwsim_out, 240);
    ASSERT_NE(gwsim, nullptr);

    auto send = [&](const std::string &user, const std::string &first_ip, int records, int rate) {
        return nivo_test::run_tool({NIVO_BUILD_DIR "/nivo-agentsim", "-n", std::to_string(records),
                                    "-r", std::to_string(rate), "-u", user, "-i", first_ip, "-q"},
                                   dir.file("agentsim.txt"), 60000);
    };
    auto rows = [&](const std::string &prefix) {
        return nivo_test::store_count(db, "user LIKE '" + prefix + "%'");
    };

    // 2,000 logons would need some 32 MB of log between two folds at the old fold size; now the
    // log stays near 4 MiB and every logon is stored.
    ASSERT_EQ(send("fits", "127.1.0.1", 2000, 0), 0) << read_file(dir.file("agentsim.txt"));
    EXPECT_TRUE(nivo_test::eventually(
        [&] { return rows("fits") == 2000 || last_unstored(nivo.err()) > 0; }, 60000, 200));
    EXPECT_EQ(rows("fits"), 2000) << nivo.err();
    EXPECT_LE(nivo_test::file_size(db + "-wal"), 5LL << 20);
    EXPECT_EQ(nivo.err().find("not stored"), std::string::npos) << nivo.err();

    // The disk full: the log cannot write either. Every logon is stored or counted, the count
    // is told at most once a second, and what is stored still reaches the appliance.
    auto filled = std::chrono::steady_clock::now();
    fill_disk(base + "/filler");
    ASSERT_EQ(send("full", "127.2.0.1", 600, 400), 0) << read_file(dir.file("agentsim.txt"));
    EXPECT_TRUE(nivo_test::eventually(
        [&] { return last_unstored(nivo.err()) + rows("full") == 600; }, 30000, 200))
        << nivo.err() << "stored: " << rows("full");
    EXPECT_GT(last_unstored(nivo.err()), 0) << nivo.err();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - filled).count();
    EXPECT_LE(nivo_test::count_of(nivo.err(), " logons not stored: database or disk is full\n"),
              static_cast<std::size_t>(seconds) + 1)
        << nivo.err();
    EXPECT_TRUE(nivo_test::wait_file(notes, "logons not stored", 5)) << read_file(notes);
    EXPECT_NE(read_file(notes).find("STATUS=Running; user store cannot write (database or disk "
                                    "is full): "),
              std::string::npos)
        << read_file(notes);
    EXPECT_TRUE(nivo_test::eventually(
        [&] { return static_cast<int>(logons_seen(gwsim_out, "full").size()) == rows("full"); },
        10000, 200))
        << logons_seen(gwsim_out, "full").size() << " sent, " << rows("full") << " stored";

    // Space again: the store writes, and says so once.
    std::filesystem::remove(base + "/filler");
    long unstored = last_unstored(nivo.err());
    ASSERT_EQ(send("again", "127.3.0.1", 5, 0), 0) << read_file(dir.file("agentsim.txt"));
    EXPECT_TRUE(nivo_test::eventually([&] { return rows("again") == 5; }, 10000, 200));
    std::string again =
        "logons are stored again; " + std::to_string(unstored) + " were not stored\n";
    EXPECT_TRUE(nivo_test::eventually([&] { return nivo.err().find(again) != std::string::npos; },
                                      5000, 200))
        << nivo.err();
    EXPECT_TRUE(nivo_test::wait_file(notes, "the user store writes again", 5)) << read_file(notes);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(nivo_test::count_of(nivo.err(), "logons are stored again"), 1u) << nivo.err();

    EXPECT_TRUE(nivo.stop());
}

} // namespace
