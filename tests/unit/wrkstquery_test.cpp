// The workstation queries and the session listing of the POSIX platform layer, which run the
// nivo-wrkst helper: stand-in helpers (shell scripts) answer well, badly, late or not at all. A
// bad answer must be a failed connection or no listing, never a user; the credentials travel on
// standard input only. The helper's own listing logic runs against a stand-in server.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/log.h"
#include "config/config.h"
#include "logoff/wrkstpoll.h"
#include "platform/sessions.h"
#include "platform/wrkstquery.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::u8;

namespace {

class WrkstQuery : public nivo_test::log_fixture {
  protected:
    // A helper that records its arguments and its input, then runs body (shell text).
    void helper(const std::string &body)
    {
        install("#!/bin/sh\necho \"$@\" >> " + dir.file("args") + "\ncat > " + dir.file("stdin") +
                "\n" + body + "\n");
    }
    void install(const std::string &script)
    {
        std::string path = dir.file("helper-" + std::to_string(++count_));
        ASSERT_TRUE(nivo_test::write_file(path, script));
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

TEST_F(WrkstQuery, BadHelpersAreFailedConnectionsNeverAnswersAndWmiConnectionAnswers)
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

    // The WMI connection's answers of its own (what the other WMI steps pass on is tested
    // through the logoff poll: with_fakes/logoff_test).
    unsetenv("NIVO_WRKST_TIMEOUT_MS");
    unlink(dir.file("args").c_str());
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

class SessionsPosix : public WrkstQuery {
  protected:
    void SetUp() override
    {
        WrkstQuery::SetUp();
        platform_sessions_set_credentials(u"NIVOTEST\\svc", u"se cret\tpass");
    }
    void TearDown() override
    {
        platform_sessions_set_credentials(nullptr, nullptr);
        WrkstQuery::TearDown();
    }
    // One portion from server; the portion is kept in portion_ until the next call.
    unsigned long list(const char16_t *server, std::uint32_t *token)
    {
        platform_sessions_free(portion_);
        portion_ = nullptr;
        return platform_sessions_enum(server, &portion_, token);
    }
    // Entry i as "client|user", with "-" for a null text, or "null" for a null entry.
    std::string entry(std::size_t i) const
    {
        const platform_session *s = portion_->entries[i];
        if (s == nullptr) {
            return "null";
        }
        auto text = [](const char16_t *t) { return t == nullptr ? std::string("-") : u8(t); };
        return text(s->client_name) + "|" + text(s->user_name);
    }
    ~SessionsPosix() override
    {
        platform_sessions_free(portion_);
    }

    platform_session_portion *portion_ = nullptr;
};

TEST_F(SessionsPosix, BadAnswersAndBadServerNamesAreNoListing)
{
    const char *bodies[] = {
        "printf 'session\\tpc1\\talice\\nbogus\\nresult\\t0\\t1\\nend\\n'", // garbage
        "printf 'result\\t0\\t1\\nsession\\tpc1\\talice\\nend\\n'",         // result not last
        "printf 'result\\t234\\t1\\nend\\n'",                               // more of nothing
        "printf 'result\\t5\\t1\\nend\\n'",                                 // no listing result
        "printf 'session\\tpc1\\talice\\tx\\nresult\\t0\\t1\\nend\\n'",     // a field too many
        "printf 'error\\t0\\nend\\n'",                                      // an error of 0
        "printf 'session\\tpc1\\talice\\nerror\\t5\\nend\\n'",              // sessions and error
        "printf 'result\\t0\\t4294967296\\nend\\n'",                        // token too big
        "printf 'result\\t0\\t1\\nend\\n'; exit 1",                         // failed
        "yes 'session\tpc1\talice' | head -n 4097; printf 'result\\t0\\t1\\nend\\n'", // too many
    };
    for (const char *body : bodies) {
        helper(body);
        std::uint32_t token = 77;
        EXPECT_EQ(list(u"\\\\dc1", &token), 53u) << body;
        EXPECT_EQ(portion_, nullptr) << body;
        EXPECT_EQ(token, 77u) << body;
    }
    helper("yes 'session\tpc1\talice' | head -n 4096; printf 'result\\t0\\t1\\nend\\n'");
    std::uint32_t token = 0;
    ASSERT_EQ(list(u"dc1", &token), 0u);
    EXPECT_EQ(portion_->count, 4096u);

    // Only a plain host text reaches the helper's command line.
    unlink(dir.file("args").c_str());
    for (const char16_t *server : {u"\\\\dc1;reboot", u"\\\\-rf", u"\\\\", u"dc 1", u""}) {
        EXPECT_EQ(list(server, &token), 123u) << u8(server);
    }
    EXPECT_EQ(list(nullptr, &token), 123u);
    EXPECT_EQ(read_file(dir.file("args")), "");
}

TEST_F(SessionsPosix, PortionsTokensAndErrorsPassThrough)
{
    helper("case $3 in\n"
           "7) printf 'session\\t\\\\\\\\PC17\\talice\\nnoclient\\tbob\\n"
           "result\\t234\\t4000000000\\nend\\n' ;;\n"
           "4000000000) printf 'session\\t10.0.0.5\\t\\nunreadable\\nresult\\t0\\t9\\nend\\n' ;;\n"
           "*) printf 'error\\t1326\\nend\\n' ;;\n"
           "esac");
    std::uint32_t token = 7;
    ASSERT_EQ(list(u"\\\\dc1", &token), PLATFORM_SESSIONS_MORE_DATA);
    ASSERT_EQ(portion_->count, 2u);
    EXPECT_EQ(entry(0), "\\\\PC17|alice");
    EXPECT_EQ(entry(1), "-|bob"); // a null client name stays null
    EXPECT_EQ(token, 4000000000u);
    ASSERT_EQ(list(u"dc1", &token), 0u);
    ASSERT_EQ(portion_->count, 2u);
    EXPECT_EQ(entry(0), "10.0.0.5|");
    EXPECT_EQ(entry(1), "null");
    EXPECT_EQ(token, 9u);
    EXPECT_EQ(list(u"dc1", &token), 1326u); // the server's own error; the token stays
    EXPECT_EQ(portion_, nullptr);
    EXPECT_EQ(token, 9u);
    EXPECT_EQ(read_file(dir.file("args")),
              "sessions dc1 7\nsessions dc1 4000000000\nsessions dc1 9\n");
    EXPECT_EQ(read_file(dir.file("stdin")), "NIVOTEST\\svc\nse cret\tpass");
}

// The helper itself, against a stand-in server: the host name picks how the server behaves.
TEST_F(SessionsPosix, HelperFallsBackToLevelOneAndGivesNamesAsWindowsDoes)
{
    if (std::system("/usr/bin/python3 -c 'import impacket' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-impacket is not installed";
    }
    install(R"(#!/usr/bin/python3
import importlib.machinery, sys, types
loader = importlib.machinery.SourceFileLoader("wrkst", sys.argv.pop(1))
m = types.ModuleType("wrkst")
loader.exec_module(m)

class Refused(Exception):
    def getErrorCode(self):
        return 0xC000006D

def rpc(address, pipe, uuid, domain, user, password):
    print("rpc", address, pipe, domain, user, password, file=sys.stderr)
    if address == "refused":
        raise ConnectionRefusedError(111, "refused")
    if address == "badpass":
        raise Refused()

def enum(dce, level, resume):
    print("level", level, resume, file=sys.stderr)
    if level == 10 and sys.argv[2] == "samba":
        return 124, [], 0
    entries = [{"sesi%d_cname" % level: "127.0.0.1\x00", "sesi%d_username" % level: "NIVOTEST\\alice\x00"},
               {"sesi%d_cname" % level: b"", "sesi%d_username" % level: "bob\x00"},
               {"sesi%d_cname" % level: "pc\tx\x00", "sesi%d_username" % level: "eve\x00"}]
    return 234, [m.session_texts(level, e) for e in entries], 4000000000

m.rpc = rpc
m.srvsvc_session_enum = enum
sys.exit(m.main(sys.argv))
)");
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string tool(self, static_cast<std::size_t>(n));
    tool = tool.substr(0, tool.rfind('/')) + "/nivo-wrkst";
    std::string script = dir.file("helper-1");
    install("#!/bin/sh\nexec " + script + " " + tool + " \"$@\"\n");
    std::string err = dir.file("err");
    for (const char16_t *server : {u"\\\\samba", u"\\\\windows"}) {
        std::uint32_t token = 3000000000u;
        ASSERT_EQ(list(server, &token), PLATFORM_SESSIONS_MORE_DATA) << u8(server);
        ASSERT_EQ(portion_->count, 3u);
        EXPECT_EQ(entry(0), "127.0.0.1|alice");
        EXPECT_EQ(entry(1), "-|bob");
        EXPECT_EQ(entry(2), "null"); // a client name the answer cannot carry
        EXPECT_EQ(token, 4000000000u);
    }
    std::uint32_t token = 0;
    EXPECT_EQ(list(u"refused", &token), 53u);
    EXPECT_EQ(list(u"badpass", &token), 1326u);

    // Level 1 only after the server refused level 10, with the same resume handle; the account
    // split into domain and user.
    install("#!/bin/sh\n" + script + " " + tool + " \"$@\" 2>>" + err + "\n");
    token = 5;
    EXPECT_EQ(list(u"samba", &token), PLATFORM_SESSIONS_MORE_DATA);
    EXPECT_EQ(list(u"windows", &token), PLATFORM_SESSIONS_MORE_DATA);
    EXPECT_EQ(read_file(err),
              "rpc samba srvsvc NIVOTEST svc se cret\tpass\nlevel 10 5\nlevel 1 5\n"
              "rpc windows srvsvc NIVOTEST svc se cret\tpass\nlevel 10 4000000000\n");
}

} // namespace
