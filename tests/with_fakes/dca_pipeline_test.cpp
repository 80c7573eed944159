// The logon pipeline: the worker's order of completion and filters, name resolution with its
// address limits, and the local store path.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dca/filter/dca_filter.h"
#include "dca/dca_pipeline.h"
#include "fakes/resolver_fake.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/userdb.h"

using nivo_test::text_or_null;

namespace {

UserInfo *
logon(const char16_t *user, const char16_t *domain, const char16_t *ip,
      const char16_t *wrkst_name = nullptr)
{
    UserInfo *record = nivo_test::make_logon(user, domain, ip, 1796541555, 0, 0);
    userdb_set_text(&record->WrkstName, wrkst_name);
    return record;
}

class Pipeline : public nivo_test::collector_fixture {
  protected:
    Pipeline() : collector_fixture(u"NIVOTEST", u"nivotest.lan")
    {
    }
    void SetUp() override
    {
        collector_fixture::SetUp();
        ASSERT_EQ(dca_addnet_authnetlist(u"10.0.0.0/8"), 0);
        ASSERT_EQ(dca_addnet_authnetlist(u"192.168.0.0/16"), 0);
        resolver_fake::reset();
        dca_pipeline_reset();
        dca_set_local_cidmgr();
        ASSERT_EQ(dca_client_init(nullptr), 0);
    }
    void TearDown() override
    {
        dca_pipeline_reset();
        collector_fixture::TearDown();
    }
    // The stored rows, as user@domain@address.
    std::vector<std::string> stored() const
    {
        std::vector<std::string> out;
        for (const nivo_test::store_row &r : rows()) {
            out.push_back(r.user + "@" + r.domain + "@" + r.ip);
        }
        return out;
    }
    // The records queued for the appliances up to now, as user@address/flags.
    std::vector<std::string> queued()
    {
        std::vector<std::string> out;
        for (const userinfo_ptr &record : nivo_test::drain_update_queue()) {
            out.push_back(text_or_null(record->User) + "@" + text_or_null(record->WrkstIP) + "/" +
                          std::to_string(record->Flags));
        }
        return out;
    }
};

} // namespace

TEST_F(Pipeline, WorkerCompletesFiltersAndStoresInItsOrder)
{
    dca_workerthread(logon(u"WS01$", u"NIVOTEST", u"10.0.0.1")); // computer account
    dca_workerthread(logon(u"noname", u"NIVOTEST", nullptr));    // nothing to resolve
    resolver_fake::answer("V6ONLY", {resolver_fake::ipv6()});
    dca_workerthread(logon(u"noaddr", u"NIVOTEST", nullptr, u"V6ONLY")); // no IPv4 address
    dca_workerthread(logon(u"outside", u"NIVOTEST", u"172.16.0.1"));     // not authorised
    dca_workerthread(logon(u"foreign", u"OTHERDOM", u"10.0.0.4"));       // foreign domain
    UserInfo *group = logon(u"agroup", u"NIVOTEST", u"10.0.0.5");
    group->UserSidType = 2; // not a user account
    dca_workerthread(group);
    dca_workerthread(logon(u"nodomain", nullptr, u"10.0.0.6"));        // gets the host domain
    dca_workerthread(logon(u"netbios", u"nivotest", u"192.168.1.20")); // NetBIOS form
    UserInfo *user = logon(u"sidtyped", u"nivotest.lan", u"10.0.0.8");
    user->UserSidType = 1;
    dca_workerthread(user);

    EXPECT_NE(log().find("dca_workerthread: userinfo filtered out. WrkstIP is NULL\n"),
              std::string::npos);
    EXPECT_EQ(stored(), (std::vector<std::string>{"nodomain@nivotest.lan@10.0.0.6",
                                                  "netbios@nivotest.lan@192.168.1.20",
                                                  "sidtyped@nivotest.lan@10.0.0.8"}));
    EXPECT_EQ(queued(), (std::vector<std::string>{"nodomain@10.0.0.6/5", "netbios@192.168.1.20/5",
                                                  "sidtyped@10.0.0.8/5"}));

    // A logon notice of a logout (Flags 10) is passed on untouched, and stores nothing.
    UserInfo *logout = logon(u"gone", nullptr, nullptr);
    logout->Flags = UI_FLAG_USER_LOGOUT;
    dca_workerthread(logout);
    EXPECT_EQ(stored().size(), 3u);
    EXPECT_EQ(resolver_fake::lookups(), std::vector<std::string>{"V6ONLY"});
}

TEST_F(Pipeline, ResolvesTheWorkstationToAtMostThreeAuthorisedIPv4Addresses)
{
    using resolver_fake::ipv4;
    resolver_fake::answer("WS07", {resolver_fake::ipv6(), ipv4(10, 0, 0, 1), ipv4(172, 16, 0, 9),
                                   ipv4(10, 0, 0, 2), ipv4(10, 0, 0, 3), ipv4(10, 0, 0, 4)});
    userinfo_ptr record(logon(u"alice", nullptr, nullptr, u"WS07"));
    ASSERT_EQ(dca_resolve_wrkstip(record.get()), 0);
    EXPECT_EQ(text_or_null(record->WrkstIP), "10.0.0.1");
    ASSERT_EQ(record->AdditionalIPCount, 2);
    EXPECT_EQ(text_or_null(record->AdditionalWrkstIP[0]), "10.0.0.2");
    EXPECT_EQ(text_or_null(record->AdditionalWrkstIP[1]), "10.0.0.3");
    std::string lines = log();
    EXPECT_EQ(nivo_test::count_of(
                  lines, "dca_resolve_wrkstip: Additional IP Address couldn't accomodated\n"),
              1u);
    EXPECT_EQ(lines.find("IPAddress[2]"), std::string::npos); // the unauthorised one

    // A long name is looked up whole, never cut to another host's name.
    resolver_fake::answer("workstation-0017.branch.nivotest.lan", {ipv4(10, 1, 0, 17)});
    record.reset(logon(u"erin", nullptr, nullptr, u"workstation-0017.branch.nivotest.lan"));
    EXPECT_EQ(dca_resolve_wrkstip(record.get()), 0);
    EXPECT_EQ(text_or_null(record->WrkstIP), "10.1.0.17");

    // An unknown name, a missing name and one too long to look up fail.
    std::u16string huge(300, u'w');
    for (const char16_t *name : {u"NOSUCH", static_cast<const char16_t *>(nullptr), huge.c_str()}) {
        record.reset(logon(u"carol", nullptr, nullptr, name));
        EXPECT_EQ(dca_resolve_wrkstip(record.get()), -1);
    }
    EXPECT_EQ(resolver_fake::lookups().back(), "NOSUCH");
}

TEST_F(Pipeline, LocalStoreKeepsThePrimaryAddressAndNoExcludedUser)
{
    using resolver_fake::ipv4;
    resolver_fake::answer("WS09", {ipv4(10, 0, 0, 9), ipv4(10, 0, 0, 10), ipv4(10, 0, 0, 11)});
    dca_workerthread(logon(u"alice", u"NIVOTEST", nullptr, u"WS09"));
    EXPECT_EQ(stored(), std::vector<std::string>{"alice@nivotest.lan@10.0.0.9"});
    EXPECT_EQ(queued(), std::vector<std::string>{"alice@10.0.0.9/5"});

    // An excluded user never reaches the store.
    ASSERT_EQ(dca_adduser_userexcllist(u"svc-backup"), 0);
    dca_workerthread(logon(u"svc-backup", u"NIVOTEST", u"10.0.0.12"));
    EXPECT_EQ(stored().size(), 1u);
    EXPECT_NE(log().find("dca_add_userinfo: user svc-backup filtered out \n"), std::string::npos);

    // Without the agent client nothing is delivered and the record is released.
    dca_pipeline_reset();
    dca_set_local_cidmgr();
    EXPECT_EQ(dca_add_userinfo_dcaclient(logon(u"late", u"nivotest.lan", u"10.0.0.13")), -1);
    EXPECT_NE(log().find("dca_add_userinfo_dcaclient: DCA Client is not Initialized\n"),
              std::string::npos);
}
