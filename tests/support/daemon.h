// The real service as a child process of a test, with its own base directory.
#pragma once

#include <string>
#include <vector>

#include "platform/process.h"

namespace nivo_test {

// A copy of the repository's example base directory (source_dir/example) at base; the path.
std::string copy_example_base(const std::string &source_dir, const std::string &base);

class daemon_process {
  public:
    // Starts the executable with NIVO_HOME set to base and extra "NAME=value" entries.
    daemon_process(const std::string &binary, const std::string &base,
                   const std::vector<std::string> &env = {});
    ~daemon_process();
    daemon_process(const daemon_process &) = delete;
    daemon_process &operator=(const daemon_process &) = delete;

    bool started() const
    {
        return process_ != nullptr;
    }
    // Waits until the file's UTF-16 text contains needle (at least occurrences times); false
    // after timeout_ms.
    bool wait_for_log(const std::string &file, const std::string &needle, int timeout_ms,
                      int occurrences = 1) const;
    // Sends a signal (PLATFORM_SIGNAL_*).
    bool signal(int which);
    // Waits for the end: the exit status, or -1 when it is still running after timeout_ms.
    int wait_exit(int timeout_ms);
    std::string out() const;
    std::string err() const;

  private:
    platform_process *process_ = nullptr;
    std::string out_path_;
    std::string err_path_;
};

} // namespace nivo_test
