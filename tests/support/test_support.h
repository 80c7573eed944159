// Helpers shared by the tests: temporary directories, whole files, UTF-16 files as text.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct platform_process;

namespace nivo_test {

// A fresh temporary directory, removed with its contents by the destructor.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const
    {
        return path_;
    }
    std::u16string wpath(const std::string &name = "") const;
    std::string file(const std::string &name) const
    {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &bytes);
// Appends the bytes in one write.
bool append_file(const std::string &path, const std::string &bytes);
bool file_exists(const std::string &path);
long long file_size(const std::string &path);

// A UTF-16LE file's bytes as UTF-8 text (an odd trailing byte is dropped).
std::string utf16le_to_utf8(const std::string &bytes);
std::string utf8_to_utf16le(const std::string &text);
std::u16string u16(const std::string &utf8);
std::string u8(const std::u16string &text);
// A record's text as UTF-8, "(null)" for none.
std::string text_or_null(const char16_t *value);

// Audit log lines as a domain controller writes them (the Kerberos line at 2026-12-06T07:19:15Z,
// from ipv4:address:34874; the NTLM one by SMB2 from workstation), ending in "\n".
std::string audit_kerberos_line(const std::string &user, const std::string &address,
                                const std::string &status = "NT_STATUS_OK");
std::string audit_ntlm_line(const std::string &user, const std::string &workstation);

// text in the byte-list form of nivo.ini: each UTF-16 unit as "low'high'" ("A" is "65'0'").
std::string byte_list(const std::string &text);

// A file's path in dir as the service joins it (with the platform's separator).
std::string joined(const std::string &dir, const std::string &name);

// The dead-entry keys of the registry (on Linux the tree the test set with
// registry_set_location, on Windows the real registry): whether user+address has one, its
// "Time" value ("" without one), removing one, and removing them all.
bool dead_entry_exists(const std::string &name);
std::string dead_entry_time(const std::string &name);
void dead_entry_remove(const std::string &name);
void dead_entries_clear();

// Sets an environment variable of this process; an empty value removes it.
void set_env(const std::string &name, const std::string &value);

// Whether network namespaces can be made (root and /usr/bin/unshare).
bool network_namespaces_available();
// Whether this process was started by ran_in_own_network_namespace().
bool in_network_namespace();
// The first line of a test of the whole daemon (fixed ports): "if (ran_in_own_...()) return;".
// Outside a namespace it runs the current test again in one of its own, loopback up, takes its
// result (where none can be made it skips, or fails as root or under CI) and returns true;
// inside, false. With mount_too it gets a mount namespace of its own as well.
bool ran_in_own_network_namespace(bool mount_too = false);

// Opens this process's log in dir (nivo.log, nivo.log1, ev.log, ev.log1): log_int()'s result.
int open_log(const temp_dir &dir);
// A log file (UTF-16LE) as UTF-8 text, after this process's pending log lines were written.
std::string log_text(const std::string &path);
// Lines of a log file (UTF-16LE) split at "\r\n", the first (empty) piece dropped.
std::vector<std::string> log_lines(const std::string &path);
// Whether a line of the log file contains text.
bool logged(const std::string &path, const std::string &text);
// How many lines of the log file at level (its name: "ERROR", "MSG", ...; any when empty)
// contain text.
std::size_t logged_at(const std::string &path, const std::string &level, const std::string &text);

// A test with this process's log open in its own directory (see open_log), ended by TearDown.
class log_fixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string log() const
    {
        return log_text(dir.file("nivo.log"));
    }
    bool logged(const std::string &text) const
    {
        return nivo_test::logged(dir.file("nivo.log"), text);
    }
    std::size_t logged_count(const std::string &level, const std::string &text) const
    {
        return logged_at(dir.file("nivo.log"), level, text);
    }

    temp_dir dir;
};

// Polls condition every poll_ms until it holds: false when it still does not after timeout_ms
// (generous: the sanitizer builds on a busy machine run many times slower).
template <class F>
bool
eventually(F condition, int timeout_ms = 15000, int poll_ms = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    return true;
}

// How many times needle stands in text, overlapping ones included.
std::size_t count_of(const std::string &text, const std::string &needle);
// Waits until the file holds needle at least times times; false after the seconds.
bool wait_file(const std::string &path, const std::string &needle, int seconds,
               std::size_t times = 1);
// How a program is started: "NAME=value" entries added to its environment, the files of its
// standard input (none when empty), output (discarded when empty) and error (out when empty),
// and how long it may run.
struct program_io {
    std::vector<std::string> env{};
    std::string in{}, out{}, err{};
    int timeout_ms = 20000;
};
// Starts a program (args[0] its path): null when it could not start. platform_process_close()
// ends it (killed if it still runs).
platform_process *start_program(const std::vector<std::string> &args, const program_io &io);
struct program_closer {
    void operator()(platform_process *process) const;
};
// A program of start_program, closed when dropped.
using background_program = std::unique_ptr<platform_process, program_closer>;
// Runs a program to its end: its exit status, or -1 when it could not start or still ran after
// io.timeout_ms (then it is killed).
int run_program(const std::vector<std::string> &args, const program_io &io);
// run_program with both outputs in the file out_path.
int run_tool(const std::vector<std::string> &args, const std::string &out_path,
             int timeout_ms = 20000);
// run_program with both outputs in *output.
int run_tool(const std::vector<std::string> &args, std::string *output, int timeout_ms = 20000);
// Runs command (a fixture script that starts a server, then its own arguments: this test
// program with --gtest_filter) with env added; fails the calling test unless it ended with 0
// after running passed tests, none skipped.
void run_inner_tests(const std::vector<std::string> &command, const std::vector<std::string> &env,
                     int passed, int timeout_ms);
// A TCP port on 127.0.0.1 that was free a moment ago (0 when none could be had).
std::uint16_t free_port();

} // namespace nivo_test
