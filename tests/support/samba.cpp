#include "support/samba.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>

#include "support/test_support.h"

namespace nivo_test {

namespace {

// Runs command in the fixture on the domain in dc; its exit status, or -1 after the time limit.
int
run_fixture(const std::string &source_dir, const std::string &dc,
            const std::vector<std::string> &command, const std::vector<std::string> &env,
            const std::string &out, const std::string &err)
{
    std::vector<std::string> args{"/bin/bash", source_dir + "/scripts/samba-fixture.sh", dc};
    args.insert(args.end(), command.begin(), command.end());
    int status = run_program(args, {.env = env, .out = out, .err = err, .timeout_ms = 200000});
    // The DC's RPC helper daemon outlives the DC (it is started on demand and detaches): end
    // what still runs on this DC's configuration.
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string cmdline = read_file(entry.path().string() + "/cmdline");
        if (cmdline.find(dc + "/etc/smb.conf") != std::string::npos) {
            kill(std::stoi(name), SIGKILL);
        }
    }
    return status;
}

} // namespace

void
run_in_samba_fixture(const std::string &source_dir, const std::string &self,
                     const std::string &inner, const std::vector<std::string> &env)
{
    temp_dir dir;
    std::string dc = dir.file("dc");
    std::string out = dir.file("fixture.out");
    std::string err = dir.file("fixture.err");
    std::string private_sockets = "sed -i '/^\\[global\\]/a\\\tncalrpc dir = " + dc +
                                  "/ncalrpc' \"$NIVO_SAMBA_DIR/etc/smb.conf\"";
    ASSERT_EQ(run_fixture(source_dir, dc, {"/bin/sh", "-c", private_sockets}, {}, out, err), 0)
        << read_file(err);
    int status = run_fixture(source_dir, dc, {self, "--gtest_filter=" + inner}, env, out, err);
    ASSERT_NE(status, -1) << "the fixture did not finish in time";
    std::string output = read_file(out);
    ASSERT_EQ(status, 0) << read_file(err) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

} // namespace nivo_test
