#include "support/daemon.h"

#include <chrono>
#include <filesystem>
#include <thread>

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
    std::vector<const char *> env_set;
    for (const auto &s : settings) {
        env_set.push_back(s.c_str());
    }
    env_set.push_back(nullptr);
    // The service binds fixed ports: as root, each daemon gets a network namespace of its own
    // (unless the test already runs in one, with the programs it talks to).
    std::vector<const char *> argv;
    if (network_namespaces_available() && !in_network_namespace()) {
        for (const char *word : {"/usr/bin/unshare", "-n", "/bin/sh", "-c",
                                 "/usr/sbin/ip link set lo up && exec \"$0\""}) {
            argv.push_back(word);
        }
    }
    argv.push_back(binary.c_str());
    argv.push_back(nullptr);
    platform_process_options options{};
    options.argv = argv.data();
    options.env_set = env_set.data();
    options.stdout_path = out_path_.c_str();
    options.stderr_path = err_path_.c_str();
    process_ = platform_process_start(options);
}

daemon_process::~daemon_process()
{
    platform_process_close(process_);
}

bool
daemon_process::wait_for_log(const std::string &file, const std::string &needle, int timeout_ms,
                             int occurrences) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (count_of(utf16le_to_utf8(read_file(file)), needle) >=
            static_cast<std::size_t>(occurrences)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
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
