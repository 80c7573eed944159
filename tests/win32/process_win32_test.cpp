// Child processes and the console run of the service host on Windows. The test program is its
// own child: "--child <role> ..." runs only Win32Child.DISABLED_Role, which plays the role.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/service_host.h"
#include "platform/system.h"
#include "platform/win32/win32_text.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

// The command line that makes this program a child in the given role.
struct child_command {
    child_command(std::initializer_list<std::string> role)
        : words{::testing::internal::GetArgvs()[0], "--gtest_filter=Win32Child.DISABLED_Role",
                "--gtest_also_run_disabled_tests", "--gtest_brief=1", "--child"}
    {
        words.insert(words.end(), role);
        for (const std::string &word : words) {
            pointers.push_back(word.c_str());
        }
        pointers.push_back(nullptr);
    }
    const char *const *argv() const
    {
        return pointers.data();
    }
    std::vector<std::string> words;
    std::vector<const char *> pointers;
};

// ---- the child's roles ----

std::atomic<bool> g_stop{false};
service_status_handle *g_status = nullptr;

void
report(unsigned long state, unsigned long code)
{
    service_status status{SERVICE_WIN32_OWN_PROCESS, state, 0, code, 0, 0, 0};
    if (state == SERVICE_RUNNING || state == SERVICE_STOP_PENDING) {
        status.controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    }
    platform_service_set_status(g_status, &status);
}

void
child_service_ctrl(unsigned long control)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING, 0);
        g_stop.store(true);
    } else {
        report(SERVICE_RUNNING, 0);
    }
}

// A service that runs until stopped (a minute at most). (A failed start-up, reported as a stop
// with its error, is tests/win32/service_wine.sh's, with the service itself.)
void
child_service_main(unsigned long argc, char16_t **argv)
{
    (void)argc;
    g_status = platform_service_register(argv[0], child_service_ctrl);
    report(SERVICE_START_PENDING, 0);
    platform_service_set_status_text(g_status, u"a note\nthat stays");
    report(SERVICE_RUNNING, 0);
    for (int i = 0; i < 600 && !g_stop.load(); ++i) {
        platform_sleep_ms(100);
    }
    report(SERVICE_STOPPED, 0);
}

int
run_child(const std::vector<std::string> &args)
{
    std::string role = !args.empty() ? args[0] : "";
    if (role == "cat") {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
            std::fwrite(chunk, 1, n, stdout);
        }
        return 0;
    }
    if (role == "exit" && args.size() > 1) {
        std::fputs("out", stdout);
        for (int i = 0; i < 1000; ++i) {
            std::fputs("0123456789", stderr);
        }
        return std::atoi(args[1].c_str());
    }
    if (role == "sleep" && args.size() > 1) {
        platform_sleep_ms(static_cast<unsigned int>(std::atoi(args[1].c_str())));
        return 0;
    }
    if (role == "ticker" && args.size() > 1) {
        for (int i = 0; i < 400; ++i) { // a byte every 50 ms for 20 s at most
            std::ofstream(args[1], std::ios::app) << 't';
            platform_sleep_ms(50);
        }
        return 0;
    }
    if (role == "parent" && args.size() > 1) {
        child_command ticker_command{"ticker", args[1]};
        platform_process_options options{ticker_command.argv(), nullptr, nullptr, nullptr, nullptr};
        platform_process *ticker = platform_process_start(options);
        platform_sleep_ms(20000);
        platform_process_close(ticker);
        return 0;
    }
    if (role == "service") {
        if (platform_service_dispatch(u"NIVOX", child_service_main) != 0) {
            std::printf("dispatch failed: %d\n", platform_last_error());
            return 2;
        }
        return platform_service_exit_status();
    }
    return 99;
}

// ---- the tests ----

TEST(Win32CommandLine, ArgumentsSurviveTheRoundTrip)
{
    const std::vector<std::vector<std::string>> cases = {
        {"C:\\Program Files\\nivo\\x.exe", "plain", "two words", ""},
        {"x.exe", "a\"b", "\"", "\"quoted\"", "tab\there"},
        {"x.exe", "C:\\dir\\", "C:\\dir with space\\", "\\\\server\\share\\", "a\\\\\"b"},
        {"x.exe", "\\", "\\\"", "trailing\\\\", " lead", "end "},
        {"C:\\dir\\x.exe", "caf\xc3\xa9", "\xe2\x82\xac 5", "--console"},
    };
    for (const std::vector<std::string> &arguments : cases) {
        std::vector<const char *> argv;
        for (const std::string &a : arguments) {
            argv.push_back(a.c_str());
        }
        argv.push_back(nullptr);
        std::wstring line = win32::command_line(argv.data());
        std::vector<std::string> back;
        ASSERT_TRUE(win32::split_command_line(line.c_str(), &back));
        EXPECT_EQ(back, arguments) << win32::wide_to_utf8(line.c_str());
    }
}

TEST(Win32Process, RunCapturedFeedsInputKeepsOutputStatusErrorTailAndKillsOnLimits)
{
    // More input than a pipe holds, so that a child that writes while it reads cannot hang.
    std::string input;
    for (int i = 0; i < 300000; ++i) {
        input += static_cast<char>('a' + i % 26);
    }
    std::vector<char> out(input.size() + 512);
    std::size_t out_size = 0;
    int status = -1;
    child_command cat{"cat"};
    ASSERT_EQ(platform_process_run_captured(cat.argv(), input.data(), input.size(), out.data(),
                                            out.size(), &out_size, 20000, &status),
              0);
    EXPECT_EQ(status, 0);
    // The test program's start-up line comes first.
    EXPECT_TRUE(std::string(out.data(), out_size).ends_with(input));
    EXPECT_LT(out_size, input.size() + 200);

    char err[100];
    std::size_t err_size = 0;
    child_command fail{"exit", "7"};
    ASSERT_EQ(platform_process_run_captured(fail.argv(), "", 0, out.data(), out.size(), &out_size,
                                            20000, &status, err, sizeof err, &err_size),
              0);
    EXPECT_EQ(status, 7);
    EXPECT_TRUE(std::string(out.data(), out_size).ends_with("out"));
    ASSERT_EQ(err_size, sizeof err);
    EXPECT_EQ(std::string(err, 10), "0123456789"); // the last 100 of 10000 bytes

    const char *missing[] = {"C:\\no\\such\\program.exe", nullptr};
    EXPECT_EQ(platform_process_run_captured(missing, "", 0, out.data(), out.size(), &out_size, 1000,
                                            &status),
              -1);

    // Killed on the time limit and on more output than the buffer takes.
    auto start = std::chrono::steady_clock::now();
    child_command sleeper{"sleep", "30000"};
    EXPECT_EQ(platform_process_run_captured(sleeper.argv(), "", 0, out.data(), out.size(),
                                            &out_size, 500, &status),
              1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(status, 137);
    EXPECT_EQ(platform_process_run_captured(cat.argv(), input.data(), input.size(), out.data(),
                                            1000, &out_size, 20000, &status),
              1);
    EXPECT_LE(out_size, 1000u);
}

TEST(Win32Process, CloseEndsTheChildAndWhatItStarted)
{
    temp_dir dir;
    std::string ticks = dir.file("ticks");
    child_command parent{"parent", ticks};
    platform_process_options options{parent.argv(), nullptr, nullptr, nullptr, nullptr};
    platform_process *p = platform_process_start(options);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 200 && read_file(ticks).size() < 2; ++i) {
        platform_sleep_ms(50);
    }
    ASSERT_GE(read_file(ticks).size(), 2u) << "the grandchild never ticked";
    platform_process_close(p);
    platform_sleep_ms(300);
    std::size_t after_close = read_file(ticks).size();
    platform_sleep_ms(600);
    EXPECT_EQ(read_file(ticks).size(), after_close) << "the grandchild outlived the close";
}

TEST(Win32ServiceHost, ConsoleRunStopsOnCtrlBreakAndOtherwiseNeedsTheServiceManager)
{
    temp_dir dir;
    std::string err_path = dir.file("err.txt");
    std::string out_path = dir.file("out.txt");

    // Without the flag no service manager answers (wine takes ~10 s): it runs beside the other.
    child_command plain{"service"};
    platform_process_options plain_options{plain.argv(), nullptr, nullptr, out_path.c_str(),
                                           nullptr};
    platform_process *refused = platform_process_start(plain_options);
    ASSERT_NE(refused, nullptr);

    child_command console{"service", "--console"};
    platform_process_options options{console.argv(), nullptr, nullptr, nullptr, err_path.c_str()};
    platform_process *p = platform_process_start(options);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 200 && read_file(err_path).find("RUNNING") == std::string::npos; ++i) {
        platform_sleep_ms(50);
    }
    EXPECT_NE(read_file(err_path).find("NIVOX: RUNNING (exit code 0, service exit code 0); a note "
                                       "that stays\n"),
              std::string::npos)
        << read_file(err_path);
    int status = -1;
    EXPECT_EQ(platform_process_signal(p, PLATFORM_SIGNAL_STOP), 0) << platform_last_error();
    EXPECT_EQ(platform_process_wait(p, 15000, &status), 0);
    EXPECT_EQ(status, 0);
    std::string lines = read_file(err_path);
    EXPECT_NE(lines.find("NIVOX: STOP_PENDING"), std::string::npos) << lines;
    EXPECT_NE(lines.find("NIVOX: STOPPED"), std::string::npos) << lines;
    platform_process_close(p);

    EXPECT_EQ(platform_process_wait(refused, 30000, &status), 0);
    EXPECT_EQ(status, 2);
    EXPECT_NE(read_file(out_path).find("dispatch failed: 1063"), std::string::npos)
        << read_file(out_path);
    platform_process_close(refused);
}

// Not a test: the child's part, run only when started by child_command.
TEST(Win32Child, DISABLED_Role)
{
    std::vector<std::string> argv = ::testing::internal::GetArgvs();
    auto at = std::find(argv.begin(), argv.end(), "--child");
    if (at == argv.end()) {
        GTEST_SKIP() << "run by the other tests of this file";
    }
    int code = run_child(std::vector<std::string>(at + 1, argv.end()));
    std::fflush(nullptr);
    std::exit(code);
}

} // namespace
