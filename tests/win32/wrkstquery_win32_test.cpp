// WMI, the registry and the session listing against this machine, through the same calls a
// remote query makes.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sessions.h"
#include "platform/wrkstquery.h"

namespace {

class WrkstqueryWin32 : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(platform_wmi_startup(), 0U);
        ASSERT_EQ(platform_wmi_startup_security(), 0U);
    }
};

constexpr const char16_t *LOCAL = u"\\\\.\\root\\cimv2";

// The logged-on user of this machine through every step; on a thread of its own, which has
// not entered COM before.
void
read_user(bool *done)
{
    platform_wmi *wmi = nullptr;
    ASSERT_EQ(platform_wmi_connect(LOCAL, nullptr, nullptr, PLATFORM_WMI_FLAG_MAX_WAIT, &wmi), 0U);
    EXPECT_EQ(platform_wmi_set_blanket(wmi), 0U);
    EXPECT_EQ(platform_wmi_exec_query(wmi, u"SELECT UserName FROM Win32_ComputerSystem"), 0U);
    unsigned long count = 0;
    EXPECT_EQ(platform_wmi_next(wmi, 5000, &count), 0U);
    EXPECT_EQ(count, 1U);
    char16_t name[4] = {u'x', u'x', u'x', u'x'};
    bool is_null = true;
    EXPECT_EQ(platform_wmi_get_username(wmi, name, 4, &is_null), 0U);
    if (!is_null) {
        EXPECT_EQ(name[3], 0); // cut to the capacity, terminated
    }
    // The only object was taken: the enumeration is over.
    EXPECT_EQ(platform_wmi_next(wmi, 5000, &count), 0U);
    EXPECT_EQ(count, 0U);
    platform_wmi_close(wmi);
    *done = true;
}

} // namespace

TEST_F(WrkstqueryWin32, WmiUserOnAFreshThread)
{
    bool done = false;
    std::thread([&] { read_user(&done); }).join();
    EXPECT_TRUE(done);
}

TEST_F(WrkstqueryWin32, WmiEmptyResultAndRefusedNamespaces)
{
    platform_wmi *wmi = nullptr;
    ASSERT_EQ(platform_wmi_connect(LOCAL, nullptr, nullptr, 0, &wmi), 0U);
    EXPECT_EQ(platform_wmi_exec_query(
                  wmi, u"SELECT Name FROM Win32_Process WHERE Name = 'no-such-process.exe'"),
              0U);
    unsigned long count = 1;
    EXPECT_EQ(platform_wmi_next(wmi, 5000, &count), 0U);
    EXPECT_EQ(count, 0U);
    bool is_null = false;
    char16_t name[8];
    EXPECT_NE(platform_wmi_get_username(wmi, name, 8, &is_null), 0U); // there is no object
    platform_wmi_close(wmi);

    wmi = reinterpret_cast<platform_wmi *>(1);
    EXPECT_NE(platform_wmi_connect(u"\\\\.\\root\\no-such-namespace", nullptr, nullptr, 0, &wmi),
              0U);
    EXPECT_EQ(wmi, nullptr);
    std::u16string longest = u"\\\\.\\root\\cimv2" + std::u16string(128, u'x');
    EXPECT_NE(platform_wmi_connect(longest.c_str(), nullptr, nullptr, 0, &wmi), 0U);
    EXPECT_EQ(wmi, nullptr);
}

// This machine by its name, as a remote query names a workstation.
TEST_F(WrkstqueryWin32, RegistryKeysAndAccountLookup)
{
    const char *computer = std::getenv("COMPUTERNAME");
    ASSERT_NE(computer, nullptr);
    std::u16string host = u"\\\\" + std::u16string(computer, computer + std::strlen(computer));
    platform_hku *hku = nullptr;
    ASSERT_EQ(platform_hku_connect(host.c_str(), nullptr, nullptr, &hku), 0U);
    char16_t key[256];
    unsigned long index = 0;
    while (index < 10000 && platform_hku_enum_key(hku, index, key, 256) == 0) {
        ++index;
    }
    EXPECT_GT(index, 0U); // at least .DEFAULT
    EXPECT_EQ(platform_hku_enum_key(hku, index, key, 256), PLATFORM_REG_NO_MORE_ITEMS);

    // S-1-5-18, the local system account: a well-known group (5), cut to the capacity.
    const platform_sid system{1, {0, 0, 0, 0, 0, 5}, 1, {18}};
    char16_t name[256];
    char16_t domain[256];
    int type = 0;
    ASSERT_EQ(platform_hku_lookup_sid(hku, system, name, domain, 256, &type), 0U);
    EXPECT_EQ(std::u16string(name), u"SYSTEM");
    EXPECT_EQ(type, 5);
    char16_t cut[3];
    char16_t cut_domain[3];
    ASSERT_EQ(platform_hku_lookup_sid(hku, system, cut, cut_domain, 3, &type), 0U);
    EXPECT_EQ(std::u16string(cut), u"SY");

    // Revision 2 is no SID at all; an unknown account is not mapped (1332).
    const platform_sid revision2{2, {0, 0, 0, 0, 0, 5}, 1, {18}};
    EXPECT_NE(platform_hku_lookup_sid(hku, revision2, name, domain, 256, &type), 0U);
    const platform_sid unknown{1, {0, 0, 0, 0, 0, 5}, 5, {21, 1, 2, 3, 4242}};
    EXPECT_EQ(platform_hku_lookup_sid(hku, unknown, name, domain, 256, &type), 1332U);
    platform_hku_close(hku);
}

// Names that would list another machine are refused; a real listing hands back portions the
// caller can free.
TEST(SessionsWin32, EmptyServerNamesAreRefused)
{
    for (const char16_t *name : {u"", u"\\\\"}) {
        auto *portion = reinterpret_cast<platform_session_portion *>(1);
        std::uint32_t resume = 7;
        EXPECT_EQ(platform_sessions_enum(name, &portion, &resume), 123U);
        EXPECT_EQ(portion, nullptr);
        EXPECT_EQ(resume, 7U);
    }
}

TEST(SessionsWin32, ListingOfThisMachine)
{
    platform_sessions_set_credentials(nullptr, nullptr);
    std::uint32_t resume = 0;
    unsigned long rc = PLATFORM_SESSIONS_MORE_DATA;
    for (int portions = 0; portions < 100 && rc == PLATFORM_SESSIONS_MORE_DATA; ++portions) {
        platform_session_portion *portion = nullptr;
        rc = platform_sessions_enum(u"\\\\127.0.0.1", &portion, &resume);
        if (rc != 0 && rc != PLATFORM_SESSIONS_MORE_DATA) {
            EXPECT_EQ(portion, nullptr);
            break;
        }
        for (std::size_t i = 0; portion != nullptr && i < portion->count; ++i) {
            EXPECT_NE(portion->entries[i], nullptr);
        }
        platform_sessions_free(portion);
    }
    EXPECT_NE(rc, PLATFORM_SESSIONS_MORE_DATA);
}
