// The connectivity responder on its real port, in a network namespace of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/net.h"
#include "config/config.h"
#include "config/connectivity.h"
#include "support/test_support.h"

namespace {

class Connectivity : public nivo_test::log_fixture {
  protected:
    void SetUp() override
    {
        log_fixture::SetUp();
        saved = *config_get();
    }
    void TearDown() override
    {
        stop = true;
        if (responder.joinable()) {
            responder.join();
        }
        config_get()->dca_enabled = saved.dca_enabled;
        config_get()->collector_enabled = saved.collector_enabled;
        if (client != nullptr) {
            net_fini(client);
        }
        log_fixture::TearDown();
    }
    void start(bool agent, bool collector)
    {
        roles(agent, collector);
        platform_socket_t s = connectivity_open(CONNECTIVITY_PORT);
        ASSERT_NE(s, PLATFORM_INVALID_SOCKET);
        responder = std::thread(connectivity_serve, s, &stop);
        client = net_init(u"127.0.0.1", CONNECTIVITY_PORT, NET_MODE_CLIENT);
        ASSERT_EQ(net_open(client, NET_TRANSPORT_UDP), 0);
        net_set_recv_timeout(client, 10, 0);
    }
    static void roles(bool agent, bool collector)
    {
        config_get()->dca_enabled = agent ? 1 : 0;
        config_get()->collector_enabled = collector ? 1 : 0;
    }
    void send(const std::string &question)
    {
        // Straight to the socket: the handle's send sends nothing for an empty datagram.
        ASSERT_EQ(platform_socket_send(client->socket, question.data(), question.size()),
                  static_cast<long long>(question.size()));
    }
    // The next datagram that comes back ("none" after the time limit).
    std::string answer()
    {
        char buffer[64];
        long long n = net_recv(client, buffer, sizeof buffer);
        return n < 0 ? "none" : std::string(buffer, static_cast<std::size_t>(n));
    }
    std::string ask(std::uint8_t question)
    {
        send(std::string(1, static_cast<char>(question)));
        return answer();
    }

    config_record saved{};
    std::atomic<bool> stop{false};
    std::thread responder;
    net_handle *client = nullptr;
};

TEST_F(Connectivity, AnswersEachQuestionByTheRolesAndNothingElse)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    start(true, true);
    EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), std::string("\x03"
                                                              "0"));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_AGENT), std::string("\x01"
                                                       "0"));
    EXPECT_EQ(nivo_test::logged_at(dir.file("nivo.log"), "ERROR",
                                   "Connectivity Thread CHECK_INSTALLTYPE_REQUEST received\n"),
              1u);
    EXPECT_EQ(
        nivo_test::logged_at(dir.file("nivo.log"), "ERROR", "Connectivity Thread Install type:3\n"),
        1u);
    EXPECT_TRUE(logged("Connectivity Thread running\n"));

    roles(true, false);
    EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), std::string("\x01"
                                                              "0"));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_COLLECTOR), std::string("\x02"
                                                           "0"));
    roles(false, true);
    EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), std::string("\x02"
                                                              "0"));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_COLLECTOR), std::string("\x01"
                                                           "0"));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_AGENT), std::string("\x02"
                                                       "0"));

    // Unanswered datagrams (the empty one right behind a question): had any of them an answer,
    // it would come before the last question's.
    send(std::string());
    send("k");
    send(std::string(4096, static_cast<char>(107)));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_COLLECTOR), std::string("\x01"
                                                           "0"));
}

TEST_F(Connectivity, RoleLessMachineAnswersTheInstallTypeWithAnEmptyDatagram)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    start(false, false);
    EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), std::string());
    EXPECT_EQ(
        nivo_test::logged_at(dir.file("nivo.log"), "ERROR", "Connectivity Thread Install type:0\n"),
        1u);
    EXPECT_EQ(ask(CONNECTIVITY_ASK_AGENT), std::string("\x02"
                                                       "0"));
}

TEST_F(Connectivity, TakenPortEndsTheResponderWithItsLine)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    start(true, false);
    EXPECT_EQ(connectivity_open(CONNECTIVITY_PORT), PLATFORM_INVALID_SOCKET);
    EXPECT_TRUE(logged("Connectivity Thread:: Bind failed on socket exiting\n"));
}

} // namespace
