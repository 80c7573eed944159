// The configuration at start-up, with the real service and the operator's cipher tool: the
// example base directory starts, a broken nivo.ini stops the service with a non-zero status, and
// what nivo-cipher writes is read back by the tool and by the service.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "config/config.h"
#include "config/config_parse.h"
#include "platform/process.h"
#include "support/test_support.h"

using nivo_test::log_text;
using nivo_test::read_file;
using nivo_test::temp_dir;
using nivo_test::utf16le_to_utf8;
using nivo_test::write_file;

namespace {

struct run_result {
    int status = -1;
    std::string out;
};

// Runs a program to its end (at most timeout_ms), standard input from a file.
run_result
run(const temp_dir &dir, std::initializer_list<std::string> args, const std::string &input = "",
    unsigned int timeout_ms = 10000)
{
    std::vector<const char *> argv;
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    std::string in = dir.file("stdin.txt");
    std::string out = dir.file("stdout.txt");
    write_file(in, input);
    const char *env[] = {nullptr};
    platform_process_options options{argv.data(), env, in.c_str(), out.c_str(), nullptr};
    platform_process *p = platform_process_start(options);
    run_result result;
    if (p != nullptr) {
        if (platform_process_wait(p, timeout_ms, &result.status) != 0) {
            result.status = -1;
        }
        platform_process_close(p);
    }
    result.out = read_file(out);
    return result;
}

std::string
base_with_example(const temp_dir &dir)
{
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    for (const auto &entry : std::filesystem::directory_iterator(NIVO_SOURCE_DIR "/example")) {
        std::filesystem::copy_file(entry.path(), base + "/" + entry.path().filename().string());
    }
    return base;
}

platform_process *
start_service(const std::string &base, const std::string &log)
{
    static const char *argv[] = {NIVO_BINARY, nullptr};
    std::string home = "NIVO_HOME=" + base;
    const char *env[] = {home.c_str(), nullptr};
    platform_process_options options{argv, env, nullptr, log.c_str(), log.c_str()};
    return platform_process_start(options);
}

TEST(ConfigStart, ExampleBaseDirectoryStartsAndStops)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = base_with_example(dir);
    platform_process *service = start_service(base, dir.file("console.txt"));
    ASSERT_NE(service, nullptr);
    bool finished = false;
    for (int i = 0; i < 100 && !finished; ++i) {
        int status;
        ASSERT_EQ(platform_process_wait(service, 100, &status), 1) << "the service ended early";
        finished = log_text(base + "/nivo.log").find("nivo_init: Initialization Finished") !=
                   std::string::npos;
    }
    EXPECT_TRUE(finished);
    std::string log = log_text(base + "/nivo.log");
    EXPECT_NE(log.find("nivo_init: configuration file parsed successfully"), std::string::npos);
    EXPECT_NE(log.find("\tUSER[1]: svc_backup"), std::string::npos);

    ASSERT_EQ(platform_process_signal(service, PLATFORM_SIGNAL_STOP), 0);
    int status = -1;
    EXPECT_EQ(platform_process_wait(service, 10000, &status), 0);
    EXPECT_EQ(status, 0);
    platform_process_close(service);
}

TEST(ConfigStart, RejectedConfigurationStopsWithAnErrorStatus)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    const std::string cases[] = {
        "[NIV-COLLECTOR]\nENABLED=TRUE\n", // no HOST-DOMAIN
        "[SETTINGS]\nHOST-DOMAIN=65'0'\nHOST-DOMAIN-FQDN=65'0'\n[FOO]\nX=1\n",
        "[SETTINGS]\nHOST-DOMAIN=65'0'\nHOST-DOMAIN-FQDN=65'0'\nTHREADPOOL-SIZE =8\n",
    };
    for (const std::string &ini : cases) {
        temp_dir dir;
        std::string base = dir.file("base");
        std::filesystem::create_directory(base);
        ASSERT_TRUE(write_file(base + "/nivo.ini", ini));
        platform_process *service = start_service(base, dir.file("console.txt"));
        ASSERT_NE(service, nullptr);
        int status = 0;
        EXPECT_EQ(platform_process_wait(service, 10000, &status), 0) << ini;
        EXPECT_NE(status, 0) << ini;
        platform_process_close(service);
        EXPECT_NE(log_text(base + "/nivo.log").find("nivo_init: configuration file parsing failed"),
                  std::string::npos);
    }
}

TEST(ConfigStart, CipherToolRoundTripsAndTheServiceReadsItsOutput)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    const std::string tool = NIVO_BUILD_DIR "/nivo-cipher";
    const std::string texts[] = {"", "a", "p\xc3\xa4ss w'rd=;\"",
                                 "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91",
                                 std::string(334, 'x')};
    for (const std::string &text : texts) {
        // The text comes on standard input, as an operator would type a password.
        run_result enciphered = run(dir, {tool, "encipher"}, text + "\n");
        ASSERT_EQ(enciphered.status, 0) << text;
        std::string value = enciphered.out.substr(0, enciphered.out.find('\n'));
        ASSERT_EQ(value.size(), 10 + 3 * text.size());

        run_result back = run(dir, {tool, "decipher", value});
        EXPECT_EQ(back.status, 0);
        EXPECT_EQ(back.out, text + "\n");

        config_record record{};
        std::u16string entry = nivo_test::u16("PASSWORD=" + value);
        ASSERT_EQ(parse_keyvalue_accountcred(&record, entry.c_str()), 0);
        EXPECT_EQ(nivo_test::u8(record.password), text);
        config_release(&record);
    }
    EXPECT_EQ(run(dir, {tool, "encipher", std::string(335, 'x')}).status, 1);
    EXPECT_EQ(run(dir, {tool, "encipher", "--key", "short", "x"}).status, 2);

    run_result list = run(dir, {tool, "bytelist", "corp.\xc3\xa9"});
    EXPECT_EQ(list.out, "99'0'111'0'114'0'112'0'46'0'233'0'\n");
    EXPECT_EQ(nivo_test::u8(config_decode_bytelist(list.out.c_str())), "corp.\xc3\xa9");
}

} // namespace
