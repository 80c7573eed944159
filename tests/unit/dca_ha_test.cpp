// The primary/backup pair on loopback, each test that binds in a network namespace of its own:
// the primary binds the monitored port on every local address, which there is loopback only.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>

#include "common/net.h"
#include "config/config.h"
#include "dca/dca_ha.h"
#include "dca/dca_netsession.h"
#include "support/test_support.h"

namespace {

class DcaHa : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        dca_ha_set_check_period_ms(200);
    }
    void TearDown() override
    {
        dca_ha_fini();
        dca_ha_set_check_period_ms(0);
        dca_set_poll_dc(1);
        log_fixture::TearDown();
    }
    config_record role(std::uint8_t mode, std::uint16_t port)
    {
        config_record cfg{};
        cfg.ha_mode = mode;
        cfg.monitored_port = port;
        cfg.monitoring_ip = ip.data();
        cfg.monitoring_port = port;
        return cfg;
    }
    std::size_t dead_lines() const
    {
        return nivo_test::logged_at(dir.file("nivo.log"), "ERROR",
                                    "dca_ha_backup_thread: Primary DCA Agent found Dead\n");
    }

    std::u16string ip = u"127.0.0.1";
};

TEST_F(DcaHa, BackupFallsSilentWhilePrimaryAcceptsAndPollsWhileItIsAway)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    std::uint16_t port = nivo_test::free_port();
    ASSERT_NE(port, 0);
    config_record primary = role(HA_MODE_PRIMARY, port);
    config_record backup = role(HA_MODE_BACKUP, port);
    ASSERT_EQ(dca_ha_init(&primary), 0);
    EXPECT_EQ(g_poll_dc.load(), 1);
    ASSERT_EQ(dca_ha_init(&backup), 0);
    EXPECT_EQ(g_poll_dc.load(), 0); // the backup starts silent
    std::thread primary_loop(dca_ha_primary_thread, nullptr);
    std::thread backup_loop(dca_ha_backup_thread, nullptr);

    // The primary closes every connection at once, without a byte.
    net_handle *peer = net_init(ip.c_str(), port, NET_MODE_CLIENT);
    ASSERT_EQ(net_open(peer, NET_TRANSPORT_TCP), 0);
    char byte = 0;
    EXPECT_EQ(net_recv(peer, &byte, 1), 0);
    net_fini(peer);

    // Several checks reach the primary: the backup stays silent.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(g_poll_dc.load(), 0);
    EXPECT_EQ(dead_lines(), 0u);

    // The primary stops: the backup finds it dead, says so at every check, and polls.
    dca_ha_primary_stop();
    primary_loop.join();
    EXPECT_TRUE(nivo_test::eventually([] { return g_poll_dc.load() == 1; }));
    EXPECT_TRUE(nivo_test::eventually([this] { return dead_lines() >= 2; }));

    // The primary returns: the backup falls silent again.
    ASSERT_EQ(dca_ha_init(&primary), 0);
    primary_loop = std::thread(dca_ha_primary_thread, nullptr);
    EXPECT_TRUE(nivo_test::eventually([] { return g_poll_dc.load() == 0; }));

    dca_ha_backup_stop();
    backup_loop.join();
    dca_ha_primary_stop();
    primary_loop.join();
}

TEST_F(DcaHa, PrimaryWhosePortIsTakenPausesBetweenAcceptsAndSaysSoOnce)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    std::uint16_t port = nivo_test::free_port();
    net_handle *holder = net_init(nullptr, port, NET_MODE_SERVER);
    ASSERT_EQ(net_open(holder, NET_TRANSPORT_TCP), 0);
    config_record primary = role(HA_MODE_PRIMARY, port);
    EXPECT_EQ(dca_ha_init(&primary), -1);
    EXPECT_TRUE(logged("dca_ha_init: Couldn't open network connection \n"));

    std::clock_t cpu_before = std::clock();
    std::thread primary_loop(dca_ha_primary_thread, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    double cpu_seconds = static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
    // A loop that retries at once burns a core (over a second of CPU here, even on a busy
    // machine); pausing a second costs next to nothing.
    EXPECT_LT(cpu_seconds, 0.5);
    EXPECT_EQ(nivo_test::logged_at(dir.file("nivo.log"), "ERROR", "dca_ha_primary_thread: "), 1u);
    dca_ha_primary_stop();
    primary_loop.join();
    net_fini(holder);
}

TEST_F(DcaHa, BackupWithoutAHandleFindsThePrimaryDeadAndPolls)
{
    EXPECT_EQ(dca_ha_init(nullptr), -1);
    ip = u"not-an-address";
    config_record backup = role(HA_MODE_BACKUP, 1);
    EXPECT_EQ(dca_ha_init(&backup), -1);
    EXPECT_TRUE(logged("dca_ha_init: network context couldnt initialized\n"));
    dca_set_poll_dc(0);
    std::thread backup_loop(dca_ha_backup_thread, nullptr);
    EXPECT_TRUE(nivo_test::eventually([] { return g_poll_dc.load() == 1; }));
    EXPECT_TRUE(nivo_test::eventually([this] { return dead_lines() >= 1; }));
    dca_ha_backup_stop();
    backup_loop.join();
}

} // namespace
