// The registry poll against the loopback Samba AD domain controller of scripts/samba-fixture.sh,
// whose HKEY_USERS holds alice's hive keys: the poll finds alice and renews her row; once the
// keys are gone it logs her out. The outer test starts the fixture (root), which runs the inner
// one inside the DC's network namespace; run on its own, the inner test is skipped.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.h"
#include "logoff/logoff_detector.h"
#include "logoff/wrkstpoll.h"
#include "support/collector.h"
#include "support/samba.h"
#include "userdb/userdb.h"

using nivo_test::u8;

namespace {

// alice's row handed to a check as the detector would: due, selected, marked 2.
UserInfo *
select_alice()
{
    UserInfo *records[5] = {};
    EXPECT_EQ(userinfo_db_select_expired(records, 5, 0), 1);
    return records[0];
}

class SambaRegistryPoll : public nivo_test::collector_fixture {
  protected:
    SambaRegistryPoll() : collector_fixture(u"NIVOTEST", u"nivotest.lan")
    {
    }
};

} // namespace

TEST_F(SambaRegistryPoll, InsideTheFixture)
{
    if (!nivo_test::inside_samba_fixture()) {
        GTEST_SKIP() << "run by SambaRegistryPoll.FindsTheUserAndLosesHimWithTheKeys";
    }
    const char *samba_dir = std::getenv("NIVO_SAMBA_DIR");
    logoff_detector_init(DETECTION_MODE_WORKSTATION_POLL, 600);
    ASSERT_EQ(wrkstpoll_init(POLLING_MODE_REGISTRY, u"NIVOTEST\\Administrator", u"Adm1n!pass"), 0);

    // alice's SID, and her hive keys under HKEY_USERS.
    std::string sid_file = dir.file("sid");
    std::string show = "samba-tool user show alice -s '" + std::string(samba_dir) +
                       "/etc/smb.conf' --attributes=objectSid | awk '/objectSid/{print $2}' > " +
                       sid_file;
    ASSERT_EQ(std::system(show.c_str()), 0);
    std::string sid = nivo_test::read_file(sid_file);
    sid = sid.substr(0, sid.find('\n'));
    ASSERT_EQ(sid.rfind("S-1-5-21-", 0), 0u) << sid;
    std::string keys = std::string(NIVO_SOURCE_DIR) + "/tests/integration/samba_hku_keys.py ";
    ASSERT_EQ(std::system((keys + "create " + sid).c_str()), 0);

    userinfo_ptr alice(nivo_test::make_logon(u"alice", u"nivotest.lan", u"127.0.0.1",
                                             nivo_test::now_seconds() - 700,
                                             nivo_test::now_seconds() - 100));
    ASSERT_EQ(userinfo_db_insert(alice.get()), 0);
    std::int32_t rowid = 1;

    EXPECT_EQ(wrkstpoll_workerthread_reg(select_alice()), 0);
    // alice's flags in the store, or -1 when she has no row.
    auto row_flags = [&] {
        std::vector<nivo_test::store_row> alice_rows = rows("user = 'alice'");
        return alice_rows.empty() ? -1 : alice_rows[0].flags;
    };
    EXPECT_EQ(row_flags(), UI_FLAG_ACTIVE);
    EXPECT_TRUE(nivo_test::drain_update_queue().empty());

    // Logged off: the hive keys are gone. The row is made due again and checked.
    ASSERT_EQ(std::system((keys + "delete " + sid).c_str()), 0);
    UserInfo due{};
    due.RowID = rowid;
    due.ExpireTime = nivo_test::now_seconds() - 1;
    due.Flags = UI_FLAG_ACTIVE;
    ASSERT_EQ(userinfo_db_update(&due), 0);
    EXPECT_EQ(wrkstpoll_workerthread_reg(select_alice()), 0);
    EXPECT_EQ(row_flags(), -1);
    std::vector<userinfo_ptr> sent = nivo_test::drain_update_queue();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(u8(sent[0]->User), "alice");
    EXPECT_EQ(sent[0]->Flags, UI_FLAG_LOGOUT);

    EXPECT_TRUE(logged("wrkstpoll_workerthread_reg: Logged-In USER: 'alice' on '\\\\127.0.0.1'"));
    EXPECT_EQ(log().find("Adm1n!pass"), std::string::npos) << "the password reached the log";
    wrkstpoll_init(0, nullptr, nullptr);
}

TEST_F(SambaRegistryPoll, FindsTheUserAndLosesHimWithTheKeys)
{
    nivo_test::run_in_samba_fixture(NIVO_SOURCE_DIR, "SambaRegistryPoll.InsideTheFixture");
}
