// The event source's key of nivo.ini: EVENTLOG-FILE in NIV-AGENT.

#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "common/text.h"
#include "config/config_parse.h"
#include "dca/filter/dca_filter.h"
#include "support/test_support.h"

using nivo_test::temp_dir;
using nivo_test::u16;
using nivo_test::u8;

TEST(EventLogConfig, EventlogFileIsKeptAsGiven)
{
    temp_dir dir;
    dca_filter_reset();
    config_record record{};
    record.base_directory = tsso_string_dup_w(u16(dir.path()).c_str());
    ASSERT_EQ(log_int(dir.wpath("nivo.log").c_str(), dir.wpath("nivo.log1").c_str(),
                      dir.wpath("ev.log").c_str(), dir.wpath("ev.log1").c_str()),
              0);
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.ini"),
                                      "[SETTINGS]\n"
                                      "HOST-DOMAIN=67'0'79'0'82'0'80'0'\n"
                                      "HOST-DOMAIN-FQDN=99'0'111'0'114'0'112'0'46'0'116'0'\n"
                                      "[NIV-AGENT]\n"
                                      "DCA-MODE=EVENTLOG\n"
                                      "eventlog-file=/srv/samba/log/auth json.log\n"));
    EXPECT_EQ(parse_configfile(dir.wpath("nivo.ini").c_str(), &record), 0);
    ASSERT_NE(record.eventlog_file, nullptr);
    EXPECT_EQ(u8(record.eventlog_file), "/srv/samba/log/auth json.log");
    EXPECT_NE(nivo_test::log_text(dir.file("nivo.log"))
                  .find("\tparse_keyvalue_dca: EVENTLOG-FILE: /srv/samba/log/auth json.log\n"),
              std::string::npos);
    log_fini();
    config_release(&record);
    dca_filter_reset();
}
