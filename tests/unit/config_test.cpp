// nivo.ini and the list files: what the profile reader gives the parser, what the parser keeps,
// refuses and derives (the configuration receiver's section too), and what the list readers make
// of each file format.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "config/config_lists.h"
#include "config/config_parse.h"
#include "config/config_receiver.h"
#include "dca/filter/dca_filter.h"
#include "logoff/wrkstping.h"
#include "platform/eventlog.h"
#include "platform/profile.h"
#include "support/test_support.h"

using nivo_test::u16;
using nivo_test::u8;
using nivo_test::utf8_to_utf16le;
using nivo_test::write_file;

namespace {

// "CORP" and "corp.example.test" in the byte-list form.
const std::string SETTINGS = "[SETTINGS]\n"
                             "HOST-DOMAIN=67'0'79'0'82'0'80'0'\n"
                             "HOST-DOMAIN-FQDN=99'0'111'0'114'0'112'0'46'0'116'0'\n";

class Config : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        dca_filter_reset();
        log_fixture::SetUp();
        log_set_loglevel(LOG_MAX);
        record.base_directory = tsso_string_dup_w(u16(dir.path()).c_str());
        record.log_path = tsso_string_dup_w(dir.wpath("nivo.log").c_str());
        record.rotated_log_path = tsso_string_dup_w(dir.wpath("nivo.log1").c_str());
        record.events_path = tsso_string_dup_w(dir.wpath("ev.log").c_str());
        record.rotated_events_path = tsso_string_dup_w(dir.wpath("ev.log1").c_str());
    }
    void TearDown() override
    {
        log_fixture::TearDown();
        log_set_loglevel(LOG_DEBUG);
        config_release(&record);
        dca_filter_reset();
    }
    int parse(const std::string &ini)
    {
        EXPECT_TRUE(write_file(dir.file("nivo.ini"), ini));
        return parse_configfile(dir.wpath("nivo.ini").c_str(), &record);
    }
    void list_file(const std::string &name, const std::string &bytes)
    {
        ASSERT_TRUE(write_file(dir.file(name), bytes));
    }
    config_record record{};
};

// The numeric settings as " name=value" pairs, to compare several at once.
std::string
numbers(const config_record &r)
{
    std::string out;
    for (auto [name, value] : std::initializer_list<std::pair<const char *, long long>>{
             {"server-port", r.server_port},
             {"dcaserver-port", r.dcaserver_port},
             {"tsso-port", r.tsso_server_port},
             {"threads", r.threadpool_size},
             {"interval", r.detection_interval},
             {"retry", r.ping_retry_count},
             {"dead-entry", r.dead_entry_timeout},
             {"batch", r.logoff_batch_size},
             {"pause", r.logoff_batch_pause},
             {"rate", r.getallusers_rate}}) {
        out += " " + std::string(name) + "=" + std::to_string(value);
    }
    return out + " ";
}

TEST_F(Config, DefaultsAndDerivedValuesWithoutSettings)
{
    ASSERT_EQ(parse(SETTINGS), 0);
    EXPECT_EQ(u8(record.host_domain), "CORP");
    EXPECT_EQ(u8(record.host_domain_fqdn), "corp.t");
    EXPECT_EQ(u8(record.server_ip), "127.0.0.1");
    EXPECT_EQ(numbers(record), " server-port=5566 dcaserver-port=5566 tsso-port=6677 threads=16 "
                               "interval=600 retry=3 dead-entry=1 batch=5 pause=5 rate=0 ");
    EXPECT_EQ(record.dca_enabled, 1u);
    EXPECT_EQ(record.dca_mode, static_cast<std::uint32_t>(DCA_MODE_NETAPI));
    EXPECT_EQ(record.collector_enabled, 1u);
    EXPECT_EQ(record.polling_mode, POLLING_MODE_REGISTRY);
    EXPECT_EQ(record.detection_mode, DETECTION_MODE_PING);
    EXPECT_TRUE(logged("Starting the service configuration is done now.."));
}

TEST_F(Config, NumbersTakeTheirBaseAndFieldWidthAndAreHeldToTheirBounds)
{
    list_file("dc-list.ini", "DC1\nDC2\nDC3\nDC4\n"); // the pool grows two per controller
    const struct {
        const char *entries, *expected;
    } rows[] = {
        {"[LOGOFF-DETECTION]\nDETECTION-INTERVAL=0x258", " interval=600 "},
        {"[LOGOFF-DETECTION]\nDETECTION-INTERVAL=0600", " interval=384 "},
        {"[LOGOFF-DETECTION]\nDETECTION-INTERVAL=5000", " interval=1800 "},
        // 16-bit fields keep the low bits; junk after the digits is ignored; no digits read as 0.
        {"[NIV-AGENT]\nSERVER-PORT=70000", " server-port=4464 "},
        {"[NIV-COLLECTOR]\nTSSO-SERVER-PORT= 6677xyz\nDCASERVER-PORT=abc",
         " dcaserver-port=0 tsso-port=6677 "},
        // The retry count handed to the ping; a high one leaves the interval alone.
        {"[LOGOFF-DETECTION]\nDETECTION-RETRY=1", " retry=3 "},
        {"[LOGOFF-DETECTION]\nDETECTION-RETRY=12", " interval=600 retry=10 "},
        {"[NIV-COLLECTOR]\nDEAD-ENTRY-TIMEOUT=010", " dead-entry=10 "}, // decimal hours
        // A batch size of 0 is "not set"; a pause of 0 means none.
        {"[LOGOFF-DETECTION]\nBATCH-SIZE=50\nBATCH-PAUSE=1", " batch=50 pause=1 "},
        {"[LOGOFF-DETECTION]\nBATCH-SIZE=0\nBATCH-PAUSE=0", " batch=5 pause=0 "},
        {"[LOGOFF-DETECTION]\nBATCH-SIZE=-3\nBATCH-PAUSE=-1", " batch=1 pause=0 "},
        {"[LOGOFF-DETECTION]\nBATCH-SIZE=70000\nBATCH-PAUSE=99999", " batch=10000 pause=3600 "},
        {"[NIV-COLLECTOR]\nGETALLUSERS-RATE=250", " rate=250 "},
        {"[NIV-COLLECTOR]\nGETALLUSERS-RATE=2000000", " rate=1000000 "},
        {"[NIV-COLLECTOR]\nGETALLUSERS-RATE=0x10", " rate=16 "},
        // A negative size is no way around the pool's bound.
        {"THREADPOOL-SIZE=16", " threads=24 "},
        {"THREADPOOL-SIZE=1020", " threads=1024 "},
        {"THREADPOOL-SIZE=-1", " threads=1024 "},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        ASSERT_EQ(parse(SETTINGS + row.entries + "\n"), 0);
        EXPECT_NE(numbers(record).find(row.expected), std::string::npos) << numbers(record);
        config_free_lists(&record);
    }
    EXPECT_TRUE(logged("parse_keyvalue_logoffdetect: BATCH-SIZE: 10000"));
    EXPECT_EQ(config_ping_retry_count(7), 7u);

    // A ping time-out of 0 keeps the ping's own 5000 ms; another value replaces it.
    for (auto [value, timeout] : {std::pair{"0", 5000}, {"750", 750}}) {
        ASSERT_EQ(parse(SETTINGS + "[LOGOFF-DETECTION]\nPING-TIMEOUT=" + value + "\n"), 0);
        wrkstping_init(static_cast<std::int32_t>(record.ping_timeout), 0);
        EXPECT_EQ(wrkstping_get_timeout(), timeout);
    }
    wrkstping_set_timeout(5000);
}

TEST_F(Config, RefusedEntriesStopTheParseAndSayWhy)
{
    const struct {
        std::string ini;
        const char *why;
    } rows[] = {
        {"[SETTINGS]\nHOST-DOMAIN=65'0'\n", "config_postinit: Unknown HOST-DOMAIN-FQDN\n"},
        {"[SETTINGS]\nHOST-DOMAIN-FQDN=97'0'\n", "config_postinit: Unknown HOST-DOMAIN\n"},
        // A value written without the byte-list form decodes to nothing.
        {"[SETTINGS]\nHOST-DOMAIN=CORP\nHOST-DOMAIN-FQDN=97'0'\n", "Unknown HOST-DOMAIN\n"},
        // An unknown section fails once it has an entry.
        {SETTINGS + "[FOO]\nA=1\n", "parse_keyvalue: Invalid SectionName: FOO"},
        // A bad keyword is ignored (below), except in HA-SETTING.
        {SETTINGS + "[HA-SETTING]\nHA-MODE=SIDEKICK\n",
         "parse_keyvalue_ha_setting: Invalid Key value: SIDEKICK"},
        {SETTINGS + "[LOGGING]\nLOG-LEVEL\n",
         "parse_keyvalue_logging: Invalid KeyValue: LOG-LEVEL"},
        // Unknown keys fail, except in EDIRECTORY-SETTING (below).
        {SETTINGS + "[LOGOFF-DETECTION]\nFUTURE-KEY=1\n", "Invalid Key: FUTURE-KEY"},
        // Enciphered values: seven characters are too short; the text has a bound.
        {SETTINGS + "[ACCOUNT-CREDENTIALS]\nPASSWORD=0123456\n",
         "parse_keyvalue_accountcred: Decryption Data Get failed"},
        {SETTINGS + "[EDIRECTORY-SETTING]\nPASSWORD=" + std::string(1015, '1') + "\n",
         "parse_keyvalue_edirectory: Decryption Data Set failed"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ini.substr(0, 80));
        config_replace_text(&record.host_domain, nullptr); // the record outlives one parse
        config_replace_text(&record.host_domain_fqdn, nullptr);
        std::size_t before = logged_count("", row.why);
        EXPECT_EQ(parse(row.ini), -1);
        EXPECT_GT(logged_count("", row.why), before);
    }
    EXPECT_TRUE(logged("parse_configfile: post-configuration failed"));
    EXPECT_TRUE(logged("parse_configfile: KeyValue parsing failed for Section: FOO"));
}

TEST_F(Config, SectionsKeysAndKeywords)
{
    EXPECT_EQ(parse(SETTINGS + "[FOO]\n"), 0); // an empty unknown section is harmless
    EXPECT_EQ(parse(SETTINGS + "[EDIRECTORY-SETTING]\nFUTURE-KEY=1\n"), 0);

    // Keys and keywords without case.
    const std::string agent = "[niv-agent]\nenabled=false\ndca-mode=eventlog\n";
    const std::string file = "eventlog-file=/srv/samba/log/auth json.log\n";
    if (platform_eventlog_has_source_file) {
        ASSERT_EQ(parse(SETTINGS + agent + file), 0);
        EXPECT_EQ(u8(record.eventlog_file), "/srv/samba/log/auth json.log"); // kept as given
        EXPECT_TRUE(logged("\tparse_keyvalue_dca: EVENTLOG-FILE: /srv/samba/log/auth json.log\n"));
    } else {
        // Where the event log is the system's, the key does not exist.
        EXPECT_EQ(parse(SETTINGS + agent + file), -1);
        EXPECT_TRUE(logged("parse_keyvalue_dca: Invalid Key: eventlog-file"));
        ASSERT_EQ(parse(SETTINGS + agent), 0);
    }
    EXPECT_EQ(record.dca_enabled, 0u);
    EXPECT_EQ(record.dca_mode, static_cast<std::uint32_t>(DCA_MODE_EVENTLOG));
    // A blank before "=" makes another key where the profile reader keeps it (the Windows
    // system's reader takes it away).
    std::string blank_key = SETTINGS + "[NIV-AGENT]\nENABLED =TRUE\n";
    char entries[64] = {};
    ASSERT_TRUE(write_file(dir.file("probe.ini"), blank_key));
    platform_profile_section("NIV-AGENT", entries, sizeof entries, dir.file("probe.ini").c_str());
    if (std::string(entries) == "ENABLED =TRUE") {
        EXPECT_EQ(parse(blank_key), -1);
        EXPECT_TRUE(logged("parse_keyvalue_dca: Invalid Key: ENABLED "));
    } else {
        EXPECT_EQ(std::string(entries), "ENABLED=TRUE");
        EXPECT_EQ(parse(blank_key), 0);
    }

    // A bad keyword is ignored.
    ASSERT_EQ(parse(SETTINGS + "[NIV-COLLECTOR]\nPOLLING-MODE=WMI\nPOLLING-MODE=SNMP\n"), 0);
    EXPECT_EQ(record.polling_mode, POLLING_MODE_WMI);
}

TEST_F(Config, LoggingSettingsReachTheLogger)
{
    std::string other = dir.file("other.log");
    ASSERT_EQ(parse(SETTINGS +
                    "[LOGGING]\nLOG-LEVEL=3\nOVERFLOW-ACTION=TRUNCATE\nLOG-FILE=" + other + "\n"),
              0);
    EXPECT_EQ(log_get_loglevel(), 3u);
    EXPECT_EQ(record.overflow_action, LOG_OVERFLOW_TRUNCATE);
    EXPECT_EQ(u8(record.rotated_log_path), other + "1");
    EXPECT_TRUE(logged("please read next log messages from '" + other + "'"));
    EXPECT_TRUE(nivo_test::logged(other, "Threadpool Size Reset"));

    // A log file that cannot be opened fails the parse, and the old file goes on.
    log_set_loglevel(LOG_MAX);
    EXPECT_EQ(parse(SETTINGS + "[LOGGING]\nLOG-FILE=" + dir.path() + "/missing/x.log\n"), -1);
    EXPECT_TRUE(nivo_test::logged(other, "log file couldn't re-initialized"));
}

TEST_F(Config, ByteListsAndEncipheredValues)
{
    EXPECT_EQ(u8(config_decode_bytelist("65'0'66'0'")), "AB");
    EXPECT_EQ(u8(config_decode_bytelist("321'0' 66'0'tail")), "AB"); // low 8 bits; text after
    EXPECT_EQ(u8(config_decode_bytelist("65'0'0'0'66'0'")), "A");    // the first zero unit ends
    EXPECT_EQ(u8(config_decode_bytelist("65'")), "A");

    // What nivo-cipher writes is what the service reads (tests/integration); here the edges.
    ASSERT_EQ(parse(SETTINGS + "[ACCOUNT-CREDENTIALS]\nUSERNAME=97'0'100'0'\n"), 0);
    EXPECT_EQ(u8(record.username), "ad");
    // Ten characters are a key and no text.
    ASSERT_EQ(parse(SETTINGS + "[ACCOUNT-CREDENTIALS]\nPASSWORD=0123456789\n"), 0);
    ASSERT_NE(record.password, nullptr);
    EXPECT_EQ(u8(record.password), "");
}

TEST_F(Config, ListFilesTheirFormsAndBounds)
{
    list_file("dc-list.ini",
              "  dc1  \r\n\\\\DC2.corp.example.test\n\n; retired\nDCNAMEOF15CHARS\nDC4");
    list_file("coll-list.ini", "127.0.0.6:0x15BE\n127.0.0.7\n:5566\n");
    // The user list is UTF-16LE with a byte-order mark and CR LF line ends.
    list_file("user-exclusion-list.ini",
              "\xFF\xFE" + utf8_to_utf16le("svc_backup\r\n  J\xc3\xbcrgen \r\n\r\n"));
    list_file("authnet-list.ini", "10.0.0.0/8\n");
    list_file("login-ip-exclusion-list.ini", "10.0.0.9\n10.5.0.0/16\n");
    list_file("logoff-exclusion-list.ini", "10.0.0.10\n");
    list_file("domain-list.ini",
              "OTHER\n" + std::string(1024, 'a') + "\n" + std::string(1023, 'b') + "\n");
    ASSERT_EQ(parse(SETTINGS), 0);

    std::vector<std::string> names;
    for (dc_node *dc = record.dc_list; dc != nullptr; dc = dc->next) {
        names.push_back(u8(dc->name));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"\\\\dc1", "\\\\DC2.corp.example.test",
                                               "\\\\DCNAMEOF15CHARS", "\\\\DC4"}));
    ASSERT_NE(record.coll_list, nullptr);
    EXPECT_EQ(record.coll_list->port, 5566);
    EXPECT_EQ(record.coll_list->next, nullptr);
    EXPECT_TRUE(logged("config_add_coll_list: collector entry without address skipped: :5566"));

    EXPECT_EQ(dca_filter_user_excluded(u"SVC_BACKUP"), 1);
    EXPECT_EQ(dca_filter_user_excluded(u"J\u00fcrgen"), 1);
    EXPECT_EQ(dca_filter_by_authnet(u"10.9.9.9"), 0);
    EXPECT_EQ(dca_filter_by_ip(u"10.0.0.9", DCA_IPLIST_LOGIN), 1);
    EXPECT_EQ(dca_filter_by_login_authnet(u"10.5.1.1"), 0);
    EXPECT_EQ(dca_filter_by_ip(u"10.0.0.10", DCA_IPLIST_LOGOFF), 1);
    EXPECT_EQ(dca_filter_by_ip(u"10.0.0.10", DCA_IPLIST_LOGIN), 0);

    EXPECT_TRUE(logged("\tDOMAIN[1]: OTHER"));
    EXPECT_TRUE(logged("config_add_names: entry of 1024 characters is longer than 1023, skipped"));
    EXPECT_EQ(dca_filter_domain(u"CORP"), 0);
    dca_set_hostdomain(nullptr, nullptr);
    EXPECT_EQ(dca_filter_domain(u16(std::string(1023, 'b')).c_str()), 0);
    EXPECT_EQ(dca_filter_domain(u16(std::string(1024, 'a')).c_str()), 1);
    EXPECT_TRUE(logged("config_parse_namefile: file " +
                       nivo_test::joined(dir.path(), "gw-list.ini") + " couldn't open: 2"));
}

TEST_F(Config, GwListNetworksPerAppliance)
{
    list_file("gw-list.ini", "10.1.1.1:6060#192.168.1.0 (/24)\n"
                             "10.1.1.1:6060#10.0.0.0 (/8)\n"
                             "10.1.1.2:6060#bad (/24)\n"
                             "10.1.1.3:0x17AC\n");
    ASSERT_EQ(parse(SETTINGS), 0);
    gw_node *gw = config_find_gw(&record, u"10.1.1.1");
    ASSERT_NE(gw, nullptr);
    ASSERT_NE(gw->networks, nullptr);
    EXPECT_EQ(gw->networks->network, 0xc0a80100u);
    EXPECT_EQ(gw->networks->mask, 0xffffff00u);
    ASSERT_NE(gw->networks->next, nullptr);
    EXPECT_EQ(gw->networks->next->network, 0x0a000000u);
    EXPECT_EQ(gw->networks->next->mask, 0xff000000u);
    EXPECT_EQ(config_find_gw(&record, u"10.1.1.2"), nullptr);
    EXPECT_TRUE(logged("config_addgw_gwlist: ip string to address translation failed"));
    ASSERT_NE(config_find_gw(&record, u"10.1.1.3"), nullptr);
    EXPECT_EQ(config_find_gw(&record, u"10.1.1.3")->port, 6060);
    EXPECT_EQ(config_find_gw(&record, u"10.1.1.3")->networks, nullptr);

    // A line without a network opens the appliance to every network, and it stays open.
    EXPECT_EQ(config_addgw_gwlist(u"10.1.1.1:6060", &record), 0);
    EXPECT_EQ(gw->networks, nullptr);
    EXPECT_EQ(config_addgw_gwlist(u"10.1.1.1:6060#172.16.0.0 (/12)", &record), 0);
    EXPECT_EQ(gw->networks, nullptr);

    // Odd shapes stay within the line and add nothing unsound.
    EXPECT_EQ(config_addgw_gwlist(u"10.1.1.4:1#(/8)", &record), -1);
    EXPECT_EQ(config_addgw_gwlist(u":6060", &record), -1);
    EXPECT_EQ(config_addgw_gwlist(u"10.1.1.5:1#10.0.0.0 (", &record), 0);
    EXPECT_EQ(config_find_gw(&record, u"10.1.1.5")->networks, nullptr);
}

TEST_F(Config, AllowedNetworksNarrowWhoMayActAsAnAgentOrPushAndABadValueStopsTheStart)
{
    ASSERT_EQ(
        parse(SETTINGS + "[NIV-COLLECTOR]\nALLOWED-AGENT-NETWORKS=10.1.0.0/16, 127.0.0.1/32\n"), 0);
    EXPECT_EQ(dca_filter_by_agent_authnet(u"10.1.200.3"), 0);
    EXPECT_EQ(dca_filter_by_agent_authnet(u"127.0.0.1"), 0);
    EXPECT_EQ(dca_filter_by_agent_authnet(u"10.2.0.1"), 1);
    EXPECT_EQ(dca_filter_by_agent_authnet(u"127.0.0.2"), 1);
    EXPECT_EQ(dca_filter_by_agent_authnet(u"unknown"), 1);

    // A list that cannot be read whole stops the start-up rather than admit or refuse by guess.
    // A prefix that is not a number from 0 to 32 would read as /0 and admit everyone.
    for (const char *bad : {"10.1.0.0", "10.1.0.0/16,", "host.example/8", "", "10.1.0.0/junk",
                            "10.1.0.0/", "10.1.0.0/33", "10.1.0.0/0x10"}) {
        config_release(&record);
        dca_filter_reset();
        EXPECT_EQ(parse(SETTINGS + "[NIV-COLLECTOR]\nALLOWED-AGENT-NETWORKS=" + bad + "\n"), -1)
            << bad;
    }
    EXPECT_TRUE(logged("\tparse_keyvalue_cidmgr: Invalid ALLOWED-AGENT-NETWORKS Value: "
                       "host.example/8\n"));

    // The configuration receiver's section.
    ASSERT_EQ(parse(SETTINGS + "[REMOTE-CONFIG]\nENABLED=false\n"
                               "ALLOWED-NETWORKS=127.0.0.0/8, 10.1.2.3/16\n"),
              0);
    EXPECT_EQ(record.remote_config_enabled, 0u);
    EXPECT_TRUE(config_receiver_admits(record, 0x7F000005));
    EXPECT_TRUE(config_receiver_admits(record, 0x0A01FFFF));
    EXPECT_FALSE(config_receiver_admits(record, 0x0A020001));
    for (const char *bad : {"ENABLED=NO\n", "ALLOWED-NETWORKS=10.0.0.0/33\n", "ALLOWED-NETWORKS=\n",
                            "ALLOWED-NETWORKS=host/8\n"}) {
        EXPECT_EQ(parse(SETTINGS + "[REMOTE-CONFIG]\n" + bad), -1) << bad;
    }
}

using Profile = nivo_test::log_fixture;

TEST_F(Profile, TooSmallBuffersAnswerSizeMinusTwoAndStayTerminated)
{
    const std::string path = dir.file("profile.ini");
    std::string text;
    for (int i = 0; i < 300; ++i) {
        text += "[SECTION-" + std::to_string(i) + "]\n";
    }
    text += "[BIG]\n";
    for (int i = 0; i < 1000; ++i) {
        text += "KEY" + std::to_string(i) + "=value\n";
    }
    ASSERT_TRUE(write_file(path, text));

    std::vector<char> buffer(2048 + 16, 'x');
    EXPECT_EQ(platform_profile_section_names(buffer.data(), 2048, path.c_str()), 2046u);
    EXPECT_EQ(buffer[2046], 0);
    EXPECT_EQ(buffer[2047], 0);
    EXPECT_EQ(buffer[2048], 'x'); // nothing past the buffer

    std::vector<char> big(8192 + 16, 'x');
    EXPECT_EQ(platform_profile_section("BIG", big.data(), 8192, path.c_str()), 8190u);
    EXPECT_EQ(big[8191], 0);
    EXPECT_EQ(big[8192], 'x');

    // Exactly fitting lists are not an overflow; tiny buffers stay within bounds.
    ASSERT_TRUE(write_file(path, "[AB]\n[C]\n"));
    char exact[7];
    EXPECT_EQ(platform_profile_section_names(exact, sizeof exact, path.c_str()), 5u);
    char tiny[3] = {'x', 'x', 'x'};
    EXPECT_EQ(platform_profile_section_names(tiny, 2, path.c_str()), 0u);
    EXPECT_EQ(tiny[2], 'x');
    char cut[4];
    EXPECT_EQ(platform_profile_string("AB", "K", "long default", cut, sizeof cut, path.c_str()),
              3u);
    EXPECT_STREQ(cut, "lon");
}

} // namespace
