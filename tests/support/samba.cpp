#include "support/samba.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace nivo_test {

namespace {

// Ends what still runs on the configuration of the DC in dc: its RPC helper daemon outlives the
// DC (it is started on demand and detaches).
void
end_leftovers(const std::string &dc)
{
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            read_file(entry.path().string() + "/cmdline").find(dc + "/etc/smb.conf") !=
                std::string::npos) {
            kill(std::stoi(name), SIGKILL);
        }
    }
}

} // namespace

void
run_in_samba_fixture(const std::string &source_dir, const std::string &inner)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a Samba domain controller and a network namespace need root";
    }
    temp_dir dir;
    std::string dc = dir.file("dc");
    std::vector<std::string> fixture{"/bin/bash", source_dir + "/scripts/samba-fixture.sh", dc};
    std::string private_sockets = "sed -i '/^\\[global\\]/a\\\tncalrpc dir = " + dc +
                                  "/ncalrpc' \"$NIVO_SAMBA_DIR/etc/smb.conf\"";
    std::vector<std::string> setup = fixture;
    setup.insert(setup.end(), {"/bin/sh", "-c", private_sockets});
    std::string out = dir.file("setup.txt");
    int status = run_tool(setup, out, 200000);
    end_leftovers(dc);
    ASSERT_EQ(status, 0) << read_file(out);
    fixture.insert(fixture.end(), {std::filesystem::read_symlink("/proc/self/exe").string(),
                                   "--gtest_filter=" + inner});
    run_inner_tests(fixture, {"NIVO_SAMBA_INNER=1", "NIVO_TEST_NETNS=1"}, 1, 200000);
    end_leftovers(dc);
}

bool
inside_samba_fixture()
{
    return std::getenv("NIVO_SAMBA_INNER") != nullptr && std::getenv("NIVO_SAMBA_DIR") != nullptr;
}

} // namespace nivo_test
