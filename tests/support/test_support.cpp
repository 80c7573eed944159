#include "support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/net.h"
#include "base/utf.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace nivo_test {

temp_dir::temp_dir()
{
    // A name nobody else holds: create_directory fails for one that exists.
    static std::mt19937_64 random{std::random_device{}()};
    static std::mutex lock;
    std::lock_guard guard(lock);
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        auto candidate = base / ("nivo-test-" + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.generic_string();
        }
    }
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
}

std::u16string
temp_dir::wpath(const std::string &name) const
{
    return u16(name.empty() ? path_ : file(name));
}

std::string
read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool
write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

bool
append_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush(); // one write of the whole text
    return static_cast<bool>(out);
}

bool
file_exists(const std::string &path)
{
    return std::filesystem::exists(path);
}

long long
file_size(const std::string &path)
{
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

std::u16string
u16(const std::string &utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(utf8.data()) + i,
                                  utf8.size() - i, &used);
        char16_t units[2];
        int n = utf_encode<char16_t>(cp, units);
        out.append(units, static_cast<std::size_t>(n));
        i += used;
    }
    return out;
}

std::string
u8(const std::u16string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf16_decode(text.data() + i, text.size() - i, &used);
        char units[4];
        int n = utf_encode<char>(cp, units);
        out.append(units, static_cast<std::size_t>(n));
        i += used;
    }
    return out;
}

std::string
text_or_null(const char16_t *value)
{
    return value == nullptr ? "(null)" : u8(value);
}

std::string
utf16le_to_utf8(const std::string &bytes)
{
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return u8(units);
}

std::string
utf8_to_utf16le(const std::string &text)
{
    std::string out;
    for (char16_t u : u16(text)) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

std::string
audit_kerberos_line(const std::string &user, const std::string &address, const std::string &status)
{
    return R"(  {"timestamp": "2026-12-06T07:19:15.973376+0000", "type": "Authentication", )"
           R"("Authentication": {"version": {"major": 1, "minor": 2}, "eventId": 4624, )"
           R"("logonId": "e77fde8d853c5be8", "logonType": 3, "status": ")" +
           status + R"(", "localAddress": null, "remoteAddress": "ipv4:)" + address +
           R"(:34874", "serviceDescription": "Kerberos KDC", "authDescription": )"
           R"("ENC-TS Pre-authentication", "clientDomain": null, "clientAccount": ")" +
           user + R"(@NIVOTEST.LAN", "workstation": null, "becameAccount": ")" + user +
           R"(", "becameDomain": "NIVOTEST", "becameSid": "S-1-5-21-3181341887-2681480736-)"
           R"(3385924047-1102", "mappedAccount": ")" +
           user +
           R"(", "mappedDomain": "NIVOTEST", "netlogonComputer": null, )"
           R"("netlogonTrustAccount": null, "netlogonNegotiateFlags": "0x00000000", )"
           R"("netlogonSecureChannelType": 0, "netlogonTrustAccountSid": null, )"
           R"("passwordType": "aes256-cts-hmac-sha1-96", "duration": 42960}})"
           "\n";
}

std::string
audit_ntlm_line(const std::string &user, const std::string &workstation)
{
    return R"(  {"timestamp": "2026-12-06T07:19:16.292056+0000", "type": "Authentication", )"
           R"("Authentication": {"version": {"major": 1, "minor": 2}, "eventId": 4624, )"
           R"("logonId": "0", "logonType": 3, "status": "NT_STATUS_OK", "localAddress": )"
           R"("ipv4:127.0.0.1:445", "remoteAddress": "ipv4:127.0.0.1:55100", )"
           R"("serviceDescription": "SMB2", "authDescription": "NTLMSSP", "clientDomain": )"
           R"("NIVOTEST", "clientAccount": ")" +
           user + R"(", "workstation": ")" + workstation + R"(", "becameAccount": ")" + user +
           R"(", "becameDomain": "NIVOTEST", "becameSid": "S-1-5-21-1-2-3-1102", )"
           R"("mappedAccount": ")" +
           user +
           R"(", "mappedDomain": "NIVOTEST", "passwordType": "NTLMv2", "duration": 9598}})"
           "\n";
}

std::string
byte_list(const std::string &text)
{
    std::string out;
    for (char16_t unit : u16(text)) {
        out += std::to_string(unit & 0xFF) + "'" + std::to_string(unit >> 8) + "'";
    }
    return out;
}

int
open_log(const temp_dir &dir)
{
    return log_int(dir.wpath("nivo.log").c_str(), dir.wpath("nivo.log1").c_str(),
                   dir.wpath("ev.log").c_str(), dir.wpath("ev.log1").c_str());
}

void
log_fixture::SetUp()
{
    ASSERT_EQ(open_log(dir), 0);
}

void
log_fixture::TearDown()
{
    log_fini();
}

std::string
log_text(const std::string &path)
{
    log_flush(); // this process's own pending lines, should the file be its log
    return utf16le_to_utf8(read_file(path));
}

std::vector<std::string>
log_lines(const std::string &path)
{
    std::string text = log_text(path);
    std::vector<std::string> lines;
    for (std::size_t start = 0, next; start <= text.size(); start = next + 2) {
        next = std::min(text.find("\r\n", start), text.size());
        if (start != 0 || next != 0) {
            lines.push_back(text.substr(start, next - start));
        }
    }
    return lines;
}

bool
logged(const std::string &path, const std::string &text)
{
    return logged_at(path, "", text) > 0;
}

std::size_t
logged_at(const std::string &path, const std::string &level, const std::string &text)
{
    std::size_t n = 0;
    for (const std::string &line : log_lines(path)) {
        if ((level.empty() || line.rfind(level + "\t", 0) == 0) &&
            line.find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

std::size_t
count_of(const std::string &text, const std::string &needle)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

bool
wait_file(const std::string &path, const std::string &needle, int seconds, std::size_t times)
{
    return eventually([&] { return count_of(read_file(path), needle) >= times; }, seconds * 1000,
                      50);
}

platform_process *
start_program(const std::vector<std::string> &args, const program_io &io)
{
    std::vector<const char *> argv;
    for (const std::string &word : args) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    std::vector<const char *> env;
    for (const std::string &entry : io.env) {
        env.push_back(entry.c_str());
    }
    env.push_back(nullptr);
    auto path = [](const std::string &p) { return p.empty() ? nullptr : p.c_str(); };
    platform_process_options options{argv.data(), env.data(), path(io.in), path(io.out),
                                     path(io.err.empty() ? io.out : io.err)};
    return platform_process_start(options);
}

void
program_closer::operator()(platform_process *process) const
{
    platform_process_close(process);
}

int
run_program(const std::vector<std::string> &args, const program_io &io)
{
    platform_process *p = start_program(args, io);
    int status = -1;
    if (p == nullptr ||
        platform_process_wait(p, static_cast<unsigned int>(io.timeout_ms), &status) != 0) {
        status = -1;
    }
    platform_process_close(p);
    return status;
}

int
run_tool(const std::vector<std::string> &args, const std::string &out_path, int timeout_ms)
{
    return run_program(args, {.out = out_path, .timeout_ms = timeout_ms});
}

int
run_tool(const std::vector<std::string> &args, std::string *output, int timeout_ms)
{
    temp_dir dir;
    int status = run_tool(args, dir.file("out.txt"), timeout_ms);
    *output = read_file(dir.file("out.txt"));
    return status;
}

void
run_inner_tests(const std::vector<std::string> &command, const std::vector<std::string> &env,
                int passed, int timeout_ms)
{
    temp_dir dir;
    int status = run_program(
        command,
        {.env = env, .out = dir.file("out"), .err = dir.file("err"), .timeout_ms = timeout_ms});
    std::string output = read_file(dir.file("out"));
    ASSERT_EQ(status, 0) << read_file(dir.file("err")) << output;
    std::string tests = passed == 1 ? " test" : " tests";
    EXPECT_NE(output.find("[  PASSED  ] " + std::to_string(passed) + tests), std::string::npos)
        << output;
    EXPECT_EQ(output.find("SKIPPED"), std::string::npos) << output;
}

std::uint16_t
free_port()
{
    net_handle *probe = net_init(u"127.0.0.1", 0, NET_MODE_SERVER);
    std::uint16_t port = 0;
    if (probe != nullptr && net_open(probe, NET_TRANSPORT_TCP) == 0) {
        platform_socket_local_port(probe->socket, &port);
    }
    net_fini(probe);
    return port;
}

std::string
joined(const std::string &dir, const std::string &name)
{
    return dir + static_cast<char>(platform_path_separator) + name;
}

namespace {

constexpr const char16_t *DEAD_ENTRY_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline\\DeadEntry";

std::u16string
dead_entry_path(const std::string &name)
{
    return std::u16string(DEAD_ENTRY_KEY) + u"\\" + u16(name);
}

} // namespace

bool
dead_entry_exists(const std::string &name)
{
    registry_key *key = nullptr;
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, dead_entry_path(name).c_str(), &key) != 0) {
        return false;
    }
    registry_close_key(key);
    return true;
}

std::string
dead_entry_time(const std::string &name)
{
    char value[256];
    std::size_t size = sizeof value;
    if (registry_get_value(REGISTRY_LOCAL_MACHINE, dead_entry_path(name).c_str(), u"Time", value,
                           &size) != 0) {
        return "";
    }
    return std::string(value, size);
}

void
dead_entry_remove(const std::string &name)
{
    registry_key *key = nullptr;
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, DEAD_ENTRY_KEY, &key) == 0) {
        registry_delete_key(key, u16(name).c_str());
        registry_close_key(key);
    }
}

void
dead_entries_clear()
{
    registry_key *key = nullptr;
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, DEAD_ENTRY_KEY, &key) != 0) {
        return;
    }
    char16_t name[512];
    // The names first, then the deletes: one look at the key, not one per entry.
    std::vector<std::u16string> names;
    for (std::uint32_t i = 0; i < 100000 && registry_enum_key(key, i, name, 512) == 0; ++i) {
        names.emplace_back(name);
    }
    for (const std::u16string &entry : names) {
        (void)registry_delete_key(key, entry.c_str());
    }
    registry_close_key(key);
}

void
set_env(const std::string &name, const std::string &value)
{
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
#endif
}

bool
network_namespaces_available()
{
#ifdef _WIN32
    // A Windows build runs its tests under wine, which the test command starts in a network
    // namespace of its own: no test makes one.
    return false;
#endif
    static const bool available =
        run_program({"/usr/bin/unshare", "-n", "/bin/true"}, {.timeout_ms = 10000}) == 0;
    return available;
}

bool
in_network_namespace()
{
    const char *flag = std::getenv("NIVO_TEST_NETNS");
    return flag != nullptr && std::string(flag) == "1";
}

namespace {

// As root or under CI the namespace must be made: a test that cannot run is a failure.
void
fail_or_skip_without_namespace()
{
#ifndef _WIN32
    if (geteuid() == 0 || std::getenv("CI") != nullptr) {
        FAIL() << "no network namespace could be made (unshare -n failed)";
    }
#endif
    GTEST_SKIP() << "needs root for a network namespace of its own";
}

} // namespace

bool
ran_in_own_network_namespace(bool mount_too)
{
#ifdef _WIN32
    (void)mount_too;
    return false;
#endif
    if (in_network_namespace()) {
        return false;
    }
    if (!network_namespaces_available()) {
        fail_or_skip_without_namespace();
        return true;
    }
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = std::string(info->test_suite_name()) + "." + info->name();
    temp_dir dir;
    std::string out = dir.file("output.txt");
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    int status = run_program({"/usr/bin/unshare", mount_too ? "-nm" : "-n", "/bin/sh", "-c",
                              "/usr/sbin/ip link set lo up && exec \"$0\" \"$1\"", self,
                              "--gtest_filter=" + test},
                             {.env = {"NIVO_TEST_NETNS=1"}, .out = out, .timeout_ms = 280000});
    // Not started or still running is a failure, not a skip; so is a filter that matched nothing,
    // which would pass without having run anything.
    EXPECT_EQ(status, 0) << read_file(out);
    EXPECT_NE(read_file(out).find("[       OK ] " + test), std::string::npos)
        << "the test did not run in the namespace";
    return true;
}

} // namespace nivo_test
