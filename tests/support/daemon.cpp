#include "support/daemon.h"

#include <filesystem>

#include "support/test_support.h"

namespace nivo_test {

std::string
copy_example_base(const std::string &source_dir, const std::string &base)
{
    std::filesystem::copy(std::filesystem::path(source_dir) / "example", base,
                          std::filesystem::copy_options::recursive);
    return base;
}

daemon_process::daemon_process(const std::string &binary, const std::string &base,
                               const std::vector<std::string> &env)
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
