// The directory client against a real slapd on loopback (scripts/slapd-fixture.sh, root). The
// outer test starts the fixture, which runs the inner tests in the server's network namespace.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ldap.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

const std::string JSMITH_TCP("9#\x00\x00\x0a\x01\x02\x1e", 8);   // 10.1.2.30, port 0
const std::string JSMITH_IP("1#\xc0\xa8\x01\x14", 6);            // 192.168.1.20
const std::string HELPDESK_TCP("9#\x01\xbb\x0a\x01\x02\x1f", 8); // 10.1.2.31, port 443
const std::string PRINTER_IP("1#\x0a\x01\x02\x28", 6);           // 10.1.2.40

// Two entries with uid jsmith, only the first with it in its DN; the addresses above in base64.
constexpr const char *LDIF = R"(dn: ou=sales,o=corp
objectClass: organizationalUnit
ou: sales

dn: cn=jsmith,ou=sales,o=corp
objectClass: nivoUser
cn: jsmith
uid: jsmith
networkAddress:: OSMAAAoBAh4=
networkAddress:: MSPAqAEU
loginTime: 1796531955
messageServer: WS01

dn: cn=helpdesk,ou=sales,o=corp
objectClass: nivoUser
cn: helpdesk
uid: jsmith
networkAddress:: OSMBuwoBAh8=

dn: cn=printer,ou=sales,o=corp
objectClass: nivoUser
cn: printer
uid: printer
networkAddress:: MSMKAQIo
)";

std::string
env(const char *name)
{
    const char *value = std::getenv(name);
    return value == nullptr ? "" : value;
}

// Each entry found as "DN: attribute=value,...", in DN order.
std::vector<std::string>
found(const std::vector<platform_ldap_entry> &entries)
{
    std::vector<std::string> out;
    for (const auto &entry : entries) {
        std::string line = entry.dn + ":";
        for (const auto &attribute : entry.attributes) {
            for (const std::string &value : attribute.values) {
                line += " " + attribute.name + "=" + value;
            }
        }
        out.push_back(line);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Whether every thread of the process is stopped (state T in /proc/PID/task/TID/stat).
bool
all_threads_stopped(const std::string &pid)
{
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + pid + "/task")) {
        std::string stat = read_file(task.path().string() + "/stat");
        std::size_t end = stat.rfind(')');
        if (end == std::string::npos || stat.compare(end, 3, ") T") != 0) {
            return false;
        }
    }
    return true;
}

// Stops the server (a search then waits in vain) until every one of its threads has stopped, or
// lets it go on.
void
signal_server(int signal_number)
{
    std::string pid = env("NIVO_SLAPD_PID");
    ASSERT_EQ(kill(std::stoi(pid), signal_number), 0) << errno;
    if (signal_number == SIGSTOP) {
        ASSERT_TRUE(nivo_test::eventually([&] { return all_threads_stopped(pid); }, 10000));
    }
}

// The inner tests, each with a session bound as the server's administrator.
class SlapdInside : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (env("NIVO_SLAPD_SEARCH_INNER").empty()) {
            GTEST_SKIP() << "run by SlapdSearch.AgainstRealServer";
        }
        platform_ldap_set_defaults(10, 0);
        int error = 0;
        session = platform_ldap_open(env("NIVO_SLAPD_HOST").c_str(),
                                     std::stoi(env("NIVO_SLAPD_PORT")), &error);
        ASSERT_NE(session, nullptr) << error;
        ASSERT_EQ(platform_ldap_simple_bind(session, env("NIVO_SLAPD_ADMIN_DN").c_str(),
                                            env("NIVO_SLAPD_PASSWORD").c_str()),
                  0);
    }
    void TearDown() override
    {
        platform_ldap_close(session);
    }

    platform_ldap *session = nullptr;
    std::vector<platform_ldap_entry> entries;
};

} // namespace

// By uid, then by address: type 9 with port 0 first, then type 1; the bytes are escaped.
TEST_F(SlapdInside, SearchesByUidAndByAddress)
{
    auto search = [&](const char *filter) {
        EXPECT_EQ(platform_ldap_search(session, "o=corp", filter, 10, 0, &entries), 0) << filter;
        return found(entries);
    };
    const std::string jsmith = "cn=jsmith,ou=sales,o=corp: objectClass=nivoUser cn=jsmith "
                               "uid=jsmith networkAddress=" +
                               JSMITH_TCP + " networkAddress=" + JSMITH_IP +
                               " loginTime=1796531955 messageServer=WS01";
    EXPECT_EQ(search("(&(uid=jsmith)(networkAddress=*))"),
              (std::vector<std::string>{"cn=helpdesk,ou=sales,o=corp: objectClass=nivoUser "
                                        "cn=helpdesk uid=jsmith networkAddress=" +
                                            HELPDESK_TCP,
                                        jsmith}));
    EXPECT_EQ(platform_ldap_last_result(session), 0);
    EXPECT_EQ(search("(networkAddress=9#\\00\\00\\0a\\01\\02\\1e)"),
              std::vector<std::string>{jsmith});
    EXPECT_TRUE(search("(networkAddress=9#\\00\\00\\0a\\01\\02\\28)").empty());
    EXPECT_EQ(search("(networkAddress=1#\\0a\\01\\02\\28)"),
              std::vector<std::string>{"cn=printer,ou=sales,o=corp: objectClass=nivoUser "
                                       "cn=printer uid=printer networkAddress=" +
                                       PRINTER_IP});
    EXPECT_EQ(platform_ldap_search(session, "o=nowhere", "(uid=jsmith)", 10, 0, &entries), 32);
    EXPECT_TRUE(entries.empty());
}

TEST_F(SlapdInside, BadPasswordAndClosedPort)
{
    EXPECT_EQ(platform_ldap_simple_bind(session, env("NIVO_SLAPD_ADMIN_DN").c_str(), "wrong"), 49);
    EXPECT_EQ(platform_ldap_last_result(session), 49);
    int error = 0;
    EXPECT_EQ(platform_ldap_open(env("NIVO_SLAPD_HOST").c_str(), 390, &error), nullptr);
    EXPECT_NE(error, 0);
    EXPECT_EQ(platform_ldap_open("127.0.0.1/x", 389, &error), nullptr);
    EXPECT_EQ(error, EINVAL);
}

// While the server is stopped a search ends after its time limit with 85, and a wait for the
// subscription with 0; continued, the server refuses the operation it does not know, which ends
// the subscription with its result code.
TEST_F(SlapdInside, TimeLimitAndUnknownSubscription)
{
    signal_server(SIGSTOP);
    auto start = std::chrono::steady_clock::now();
    int rc = platform_ldap_search(session, "o=corp", "(uid=jsmith)", 1, 0, &entries);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rc, PLATFORM_LDAP_TIMEOUT);
    EXPECT_EQ(platform_ldap_last_result(session), PLATFORM_LDAP_TIMEOUT);
    EXPECT_LT(waited, std::chrono::seconds(30));

    platform_ldap_event_request requests[] = {{PLATFORM_LDAP_EVENT_LOGIN, 1},
                                              {PLATFORM_LDAP_EVENT_LOGOUT, 1}};
    int id = 0;
    ASSERT_EQ(platform_ldap_monitor_events(session, requests, 2, &id), 0);
    platform_ldap_message message;
    EXPECT_EQ(platform_ldap_wait(session, id, 1, 0, &message), 0);
    signal_server(SIGCONT);
    ASSERT_EQ(platform_ldap_wait(session, id, 10, 0, &message), PLATFORM_LDAP_RES_EXTENDED);
    EXPECT_EQ(message.parse_result, 0);
    EXPECT_EQ(message.result_code, 2); // protocol error: unsupported extended operation
    EXPECT_FALSE(message.error_text.empty());
    EXPECT_TRUE(message.refused_event_types.empty());
}

TEST(SlapdSearch, AgainstRealServer)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "slapd in a network namespace of its own needs root";
    }
    temp_dir dir;
    ASSERT_TRUE(nivo_test::write_file(dir.file("data.ldif"), LDIF));
    nivo_test::run_inner_tests(
        {"/bin/bash", NIVO_SOURCE_DIR "/scripts/slapd-fixture.sh", dir.file("slapd"),
         NIVO_BUILD_DIR "/nivo_integration_tests", "--gtest_filter=SlapdInside.*"},
        {"NIVO_SLAPD_LDIF=" + dir.file("data.ldif"), "NIVO_SLAPD_SEARCH_INNER=1"}, 3, 120000);
}
