// The workstation queries of the POSIX platform layer, which run the nivo-wrkst helper: here
// stand-in helpers (shell scripts) answer well, badly, late or not at all. A bad answer must be
// a failed connection, never a user; the credentials travel on standard input only.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/log.h"
#include "config/config.h"
#include "logoff/wrkstpoll.h"
#include "platform/wrkstquery.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::u16;
using nivo_test::u8;

namespace {

class WrkstQuery : public nivo_test::log_fixture {
  protected:
    // A helper whose body is the given shell text; it records its arguments and its input.
    void helper(const std::string &body)
    {
        std::string path = dir.file("helper-" + std::to_string(++count_));
        ASSERT_TRUE(nivo_test::write_file(path, "#!/bin/sh\necho \"$@\" >> " + dir.file("args") +
                                                    "\ncat > " + dir.file("stdin") + "\n" + body +
                                                    "\n"));
        ASSERT_EQ(std::system(("chmod +x " + path).c_str()), 0);
        setenv("NIVO_WRKST_HELPER", path.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("NIVO_WRKST_HELPER");
        unsetenv("NIVO_WRKST_TIMEOUT_MS");
        log_fixture::TearDown();
    }

    unsigned long hku_connect(platform_hku **hku)
    {
        return platform_hku_connect(u"\\\\10.0.0.5", u"CORP\\svc", u"se cret\tpass", hku);
    }

    int count_ = 0;
};

TEST_F(WrkstQuery, BadHelpersAreFailedConnectionsNeverAnswers)
{
    setenv("NIVO_WRKST_TIMEOUT_MS", "400", 1);
    const char *bodies[] = {
        "printf 'key\\tS-1-5-21-1-2-3-1001_Classes\\nbogus line\\nend\\n'",  // garbage
        "printf 'key\\tS-1-5-21-1-2-3-1001_Classes\\n'",                     // no end
        "printf 'key\\tS-1-5-21-1-2-3-1001_Classes\\nend\\n'; exit 3",       // failed
        "printf 'key\\tS-1-5-21-1-2-3-1001_Classes\\n'; kill -SEGV $$",      // crashed
        "printf 'key\\tS-1-5-21-1-2-3-1001_Classes\\n'; sleep 30; echo end", // hangs
        "printf 'key\\tx\\nend\\nkey\\ty\\n'",                               // after the end
        "printf 'sid\\tS-1-5-21-1-2-3-1001\\t999\\tCORP\\talice\\nend\\n'",  // type too big
        "head -c 1000000 /dev/zero | tr '\\0' k; echo; echo end",            // too much
        "printf 'key\\t\\377\\376\\nend\\n'",                                // not UTF-8
    };
    for (const char *body : bodies) {
        helper(body);
        platform_hku *hku = nullptr;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(hku_connect(&hku), 53u) << body;
        EXPECT_EQ(hku, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << body;
    }
    // The credentials travel on standard input only.
    EXPECT_EQ(read_file(dir.file("stdin")), "CORP\\svc\nse cret\tpass");
    EXPECT_EQ(read_file(dir.file("args")).find("cret"), std::string::npos);
    setenv("NIVO_WRKST_HELPER", dir.file("missing").c_str(), 1);
    platform_wmi *wmi = nullptr;
    EXPECT_NE(platform_wmi_connect(u"\\\\10.0.0.5\\root\\cimv2", nullptr, nullptr, 0, &wmi), 0u);
    EXPECT_NE(platform_wmi_startup(), 0u);
}

// (What the other WMI steps pass on is tested through the logoff poll: with_fakes/logoff_test.)
TEST_F(WrkstQuery, WmiConnectionAnswersOfItsOwn)
{
    platform_wmi *wmi = nullptr;
    helper("printf 'connect\\t80041064\\nend\\n'");
    EXPECT_EQ(platform_wmi_connect(u"\\\\10.0.0.5\\root\\cimv2", u"svc", u"pw", 0, &wmi),
              PLATFORM_WMI_LOCAL_CREDENTIALS);
    EXPECT_EQ(read_file(dir.file("args")), "wmi 10.0.0.5\n");

    // A user line without a name, or a host text that is not a plain address, is no answer.
    helper("printf 'user\\t\\nend\\n'");
    EXPECT_NE(platform_wmi_connect(u"\\\\10.0.0.5\\root\\cimv2", u"svc", u"pw", 0, &wmi), 0u);
    EXPECT_NE(platform_wmi_connect(u"\\\\-rf;x\\root\\cimv2", u"svc", u"pw", 0, &wmi), 0u);
}

TEST_F(WrkstQuery, StartUpProvesTheHelperWorksAndFailuresReachTheLog)
{
    // A helper that cannot load its modules: neither mode may start.
    helper("echo 'Traceback (most recent call last):' >&2\n"
           "echo \"ModuleNotFoundError: No module named 'impacket'\" >&2; exit 1");
    EXPECT_EQ(wrkstpoll_init(POLLING_MODE_WMI, u"svc", u"pw"), -1);
    EXPECT_EQ(wrkstpoll_init(POLLING_MODE_REGISTRY, u"svc", u"pw"), -1);
    EXPECT_EQ(read_file(dir.file("args")), "probe wmi\nprobe hku\n");
    // A narrow line of its own, at level ERROR.
    EXPECT_TRUE(logged("\n\rERROR\t"));
    EXPECT_TRUE(logged("]: wrkstpoll_log_query_failure: nivo-wrkst probe wmi: exit status 1: "
                       "Traceback (most recent call last):\\nModuleNotFoundError: No module "
                       "named 'impacket'\n"))
        << log();
    EXPECT_TRUE(logged("wrkstpoll_init: WMI Initialization failed"));
    EXPECT_TRUE(logged("wrkstpoll_init: Remote Registry Initialization failed"));

    // A helper that loads what it needs.
    helper("[ \"$1\" = probe ] && printf 'ready\\nend\\n'");
    EXPECT_EQ(wrkstpoll_init(POLLING_MODE_WMI, u"svc", u"pw"), 0);
    EXPECT_EQ(wrkstpoll_init(POLLING_MODE_REGISTRY, u"svc", u"pw"), 0);

    // A query whose helper fails says why, bounded to the tail of what it wrote.
    helper("head -c 5000 /dev/zero | tr '\\0' x >&2; echo ' connection reset' >&2; exit 2");
    platform_hku *hku = nullptr;
    EXPECT_EQ(hku_connect(&hku), 53u);
    std::string text = log();
    std::size_t at =
        text.find("wrkstpoll_log_query_failure: nivo-wrkst hku 10.0.0.5: exit status 2: ");
    ASSERT_NE(at, std::string::npos) << text;
    std::size_t end = text.find('\n', at);
    EXPECT_EQ(text.substr(end - 16, 16), "connection reset");
    EXPECT_LT(end - at, 1200u);
    wrkstpoll_init(0, nullptr, nullptr);
}

} // namespace
