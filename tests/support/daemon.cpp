#include "support/daemon.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace nivo_test {

std::string
copy_example_base(const std::string &source_dir, const std::string &base,
                  const std::vector<std::pair<std::string, std::string>> &ini_changes)
{
    std::filesystem::copy(std::filesystem::path(source_dir) / "example", base,
                          std::filesystem::copy_options::recursive);
    if (!ini_changes.empty()) {
        std::string ini = read_file(base + "/nivo.ini");
        for (const auto &[from, to] : ini_changes) {
            std::size_t at = ini.find(from);
            if (at == std::string::npos) {
                ADD_FAILURE() << "not in the example's nivo.ini: " << from;
                continue;
            }
            ini.replace(at, from.size(), to);
        }
        EXPECT_TRUE(write_file(base + "/nivo.ini", ini));
    }
    return base;
}

background_program
active_appliance(const std::string &build_dir, const std::string &out, int seconds,
                 const std::string &listen, int port)
{
    std::string collector = "127.0.0.1:" + std::to_string(port);
    background_program sim(
        start_program({build_dir + "/nivo-gwsim", "--listen", listen, "--collector", collector,
                       "--seconds", std::to_string(seconds), "is-active"},
                      {.out = out}));
    if (sim == nullptr || !wait_file(out, "active port=" + std::to_string(port), 10)) {
        ADD_FAILURE() << "the appliance simulator was not made active: " << read_file(out);
        return nullptr;
    }
    return sim;
}

daemon_process::daemon_process(const std::string &binary, const std::string &base,
                               const std::vector<std::string> &env)
    : log_(base + "/nivo.log")
{
    static int counter = 0;
    std::string tag = std::to_string(++counter);
    std::string parent = std::filesystem::path(base).parent_path().string();
    out_path_ = parent + "/nivo-stdout-" + tag + ".txt";
    err_path_ = parent + "/nivo-stderr-" + tag + ".txt";
    std::vector<std::string> settings = env;
    settings.push_back("NIVO_HOME=" + base);
    // The service binds fixed ports: as root, each daemon gets a network namespace of its own
    // (unless the test already runs in one, with the programs it talks to).
    std::vector<std::string> args;
    if (network_namespaces_available() && !in_network_namespace()) {
        args = {"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                "/usr/sbin/ip link set lo up && exec \"$0\""};
    }
    args.push_back(binary);
    process_ = start_program(args, {.env = settings, .out = out_path_, .err = err_path_});
}

daemon_process::~daemon_process()
{
    platform_process_close(process_);
}

bool
daemon_process::wait_for_log(const std::string &file, const std::string &needle, int timeout_ms,
                             int occurrences) const
{
    return eventually(
        [&] {
            return count_of(utf16le_to_utf8(read_file(file)), needle) >=
                   static_cast<std::size_t>(occurrences);
        },
        timeout_ms, 20);
}

bool
daemon_process::ready(int occurrences) const
{
    return wait_for_log(log_, "nivo_init: Initialization Finished", 15000, occurrences);
}

bool
daemon_process::stop()
{
    return signal(PLATFORM_SIGNAL_STOP) && wait_exit(10000) == 0;
}

bool
daemon_process::signal(int which)
{
    return process_ != nullptr && platform_process_signal(process_, which) == 0;
}

int
daemon_process::wait_exit(int timeout_ms)
{
    int status = -1;
    if (process_ == nullptr ||
        platform_process_wait(process_, static_cast<unsigned int>(timeout_ms), &status) != 0) {
        return -1;
    }
    return status;
}

std::string
daemon_process::out() const
{
    return read_file(out_path_);
}

std::string
daemon_process::err() const
{
    return read_file(err_path_);
}

} // namespace nivo_test
