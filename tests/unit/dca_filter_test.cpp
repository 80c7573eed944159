// The agent's filter lists: the two senses of the filters, network parsing and its edge cases,
// and the domain rules. Computer accounts and SID types are the pipeline's tests.

#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "common/text.h"
#include "dca/filter/dca_filter.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/userinfo.h"

namespace {

class DcaFilter : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        dca_filter_reset();
        log_fixture::SetUp();
    }
    void TearDown() override
    {
        log_fixture::TearDown();
        dca_filter_reset();
    }
};

TEST_F(DcaFilter, NetworksAreMaskedTakeTheirBaseAndAdmitOnlyDottedIPv4)
{
    EXPECT_EQ(dca_filter_by_authnet(u"10.0.0.5"), 1);
    EXPECT_TRUE(logged("dca_filter_by_authnet: Workstation IP '10.0.0.5' has been Filtered-Out"));
    // The exclusion networks exclude nothing while empty.
    EXPECT_EQ(dca_filter_by_login_authnet(u"10.0.0.5"), 1);
    EXPECT_EQ(dca_filter_by_logoff_authnet(u"10.0.0.5"), 1);

    ASSERT_EQ(dca_addnet_authnetlist(u"0.0.0.0/0"), 0);
    ASSERT_EQ(dca_login_ipexc_addnet_authnetlist(u"0.0.0.0/0"), 0);
    // Only dotted IPv4 text is an address, on every platform.
    for (const char16_t *ip : {u"::1", u"fe80::1", u"10.1", u"", u"10.0.0.1 ", u" 10.0.0.1",
                               u"1.2.3.4.5", u"1.2.3.256", u"localhost"}) {
        EXPECT_EQ(dca_filter_by_authnet(ip), 1);
        EXPECT_EQ(dca_filter_by_login_authnet(ip), 1);
    }
    EXPECT_EQ(dca_filter_by_authnet(nullptr), 1);

    dca_filter_reset();
    ASSERT_EQ(dca_addnet_authnetlist(u"10.1.2.3/8"), 0);
    EXPECT_EQ(dca_filter_by_authnet(u"10.200.0.1"), 0);
    EXPECT_EQ(dca_filter_by_authnet(u"11.0.0.1"), 1);

    // 010 is octal: prefix 8, not 10.
    ASSERT_EQ(dca_login_ipexc_addnet_authnetlist(u"172.16.0.0/010"), 0);
    EXPECT_EQ(dca_filter_by_login_authnet(u"172.200.1.1"), 0);
    EXPECT_EQ(dca_filter_by_login_authnet(u"173.0.0.1"), 1);

    // /0 matches every IPv4 address; a prefix above 32 is a single host.
    ASSERT_EQ(dca_logoff_ipexc_addnet_authnetlist(u"10.0.0.0/0"), 0);
    EXPECT_EQ(dca_filter_by_logoff_authnet(u"203.0.113.9"), 0);
    dca_filter_reset();
    ASSERT_EQ(dca_addnet_authnetlist(u"10.0.0.7/40"), 0);
    EXPECT_EQ(dca_filter_by_authnet(u"10.0.0.7"), 0);
    EXPECT_EQ(dca_filter_by_authnet(u"10.0.0.8"), 1);

    // Malformed entries are refused.
    for (const char16_t *entry : {u"10.0.0.0", u"10.0.0/8", u"fe80::1/64", u"10.0.0.0.1/8",
                                  u"host.example/24", u"/8", u"10.0.0.1/8x"}) {
        std::u16string copy(entry);
        // The last entry's prefix reads as 8 and its address is fine; it is the only one kept.
        int expected = copy == u"10.0.0.1/8x" ? 0 : -1;
        EXPECT_EQ(dca_addnet_authnetlist(entry), expected) << nivo_test::u8(copy);
        EXPECT_EQ(copy, std::u16string(entry)); // the caller's text stays whole
    }
    EXPECT_TRUE(logged("dca_addnet_authnetlist: Invalid AuthNetwork"));
    EXPECT_TRUE(logged("dca_addnet_authnetlist: ip string to address translation failed: "));
}

TEST_F(DcaFilter, ExclusionsJoinListsAndNetworksInOneSenseAndNamesIgnoreCase)
{
    ASSERT_EQ(dca_addip_ipexcllist(u"10.0.0.9", DCA_IPLIST_LOGIN), 0);
    ASSERT_EQ(dca_login_ipexc_addnet_authnetlist(u"10.1.0.0/16"), 0);
    ASSERT_EQ(dca_addip_ipexcllist(u"10.0.0.10", DCA_IPLIST_LOGOFF), 0);
    ASSERT_EQ(dca_logoff_ipexc_addnet_authnetlist(u"10.2.0.0/16"), 0);
    struct row {
        const char16_t *address;
        bool login, logoff;
    };
    const row rows[] = {
        {u"10.0.0.9", true, false}, {u"10.1.4.4", true, false},  {u"10.0.0.10", false, true},
        {u"10.2.7.7", false, true}, {u"10.3.0.1", false, false}, {u"not an address", false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(nivo_test::u8(r.address));
        userinfo_ptr record(nivo_test::make_logon(nullptr, nullptr, r.address));
        EXPECT_EQ(login_excluded(record.get()), r.login);
        EXPECT_EQ(logoff_excluded(record.get()), r.logoff);
    }
    userinfo_ptr none(nivo_test::make_logon(nullptr, nullptr, nullptr));
    EXPECT_FALSE(login_excluded(none.get()));
    EXPECT_FALSE(logoff_excluded(none.get()));

    // Users are excluded by their whole name, without case; no prefix or substring match.
    ASSERT_EQ(dca_adduser_userexcllist(u"svc_backup"), 0);
    userinfo_ptr user(nivo_test::make_logon(u"SVC_BACKUP", nullptr, nullptr));
    EXPECT_EQ(dca_filter_by_username(user.get()), 1);
    userinfo_ptr other(nivo_test::make_logon(u"svc_backup2", nullptr, nullptr));
    EXPECT_EQ(dca_filter_by_username(other.get()), 0);
}

TEST_F(DcaFilter, HostDomainDecidesAndMonitoredListServesOnlyWithoutIt)
{
    ASSERT_EQ(dca_adddomain_domainlist(u"OTHER"), 0);
    // Without a host domain the monitored list decides; an absent Domain is dropped.
    EXPECT_EQ(dca_filter_domain(u"other"), 0);
    EXPECT_EQ(dca_filter_domain(u"corp"), 1);
    EXPECT_EQ(dca_filter_domain(nullptr), 1);

    dca_set_hostdomain(u"CORP", u"corp.example.test");
    EXPECT_EQ(dca_filter_domain(u"corp"), 0);
    EXPECT_EQ(dca_filter_domain(u"CORP.EXAMPLE.TEST"), 0);
    EXPECT_EQ(dca_filter_domain(u"other"), 1); // the list is no longer consulted

    wtext_ptr fqdn(dca_get_fqdn_for_domain(u"corp"));
    ASSERT_NE(fqdn, nullptr);
    EXPECT_EQ(nivo_test::u8(fqdn.get()), "corp.example.test");
    EXPECT_EQ(dca_get_fqdn_for_domain(u"corp.example.test"), nullptr);
}

} // namespace
