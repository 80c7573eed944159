// The real service as a child process of a test, with its own base directory.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "support/test_support.h"

namespace nivo_test {

// A copy of source_dir/example at base, each {from, to} of ini_changes replacing the first from
// in nivo.ini (a failure of the test when from is missing); base.
std::string
copy_example_base(const std::string &source_dir, const std::string &base,
                  const std::vector<std::pair<std::string, std::string>> &ini_changes = {});

// The appliance simulator at listen for seconds, writing to out, asking the Collector at
// 127.0.0.1:port whether it is active: null (and a failure) unless made active within 10 s.
background_program active_appliance(const std::string &build_dir, const std::string &out,
                                    int seconds, const std::string &listen = "127.0.0.2:6060",
                                    int port = 6677);

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
    // Its log, base/nivo.log.
    const std::string &log() const
    {
        return log_;
    }
    // Waits until the file's UTF-16 text contains needle (at least occurrences times); false
    // after timeout_ms.
    bool wait_for_log(const std::string &file, const std::string &needle, int timeout_ms,
                      int occurrences = 1) const;
    // Waits up to 15 seconds for the start-up's end in the log (its occurrences-th).
    bool ready(int occurrences = 1) const;
    // Sends a signal (PLATFORM_SIGNAL_*).
    bool signal(int which);
    // Waits for the end: the exit status, or -1 when it is still running after timeout_ms.
    int wait_exit(int timeout_ms);
    // Stops it: whether it ended with status 0 within 10 seconds.
    bool stop();
    std::string out() const;
    std::string err() const;

  private:
    platform_process *process_ = nullptr;
    std::string log_;
    std::string out_path_;
    std::string err_path_;
};

} // namespace nivo_test
