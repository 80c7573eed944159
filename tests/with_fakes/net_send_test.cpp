// net_send over scripted sockets: the bounded loop of partial sends.

#include <gtest/gtest.h>

#include "common/log.h"
#include "common/net.h"
#include "fakes/socket_fake.h"
#include "support/test_support.h"

namespace {

class NetSend : public ::testing::Test {
  protected:
    void SetUp() override
    {
        socket_fake::reset();
        ASSERT_EQ(nivo_test::open_log(dir), 0);
        handle = net_init(u"127.0.0.1", 1, NET_MODE_CLIENT);
        ASSERT_EQ(net_open(handle, NET_TRANSPORT_TCP), 0);
    }
    void TearDown() override
    {
        net_fini(handle);
        log_fini();
    }
    bool logged(const std::string &text) const
    {
        return nivo_test::log_text(dir.file("nivo.log")).find(text) != std::string::npos;
    }
    nivo_test::temp_dir dir;
    net_handle *handle = nullptr;
};

TEST_F(NetSend, PartialSendsContinueWithTheRest)
{
    socket_fake::script_sends({3, 4});
    char data[10] = {};
    EXPECT_EQ(net_send(handle, data, sizeof data), 1);
    EXPECT_EQ(socket_fake::send_requests(), (std::vector<std::size_t>{10, 7, 3}));
    EXPECT_TRUE(logged("net_send: bytes sent: 3\n"));
    EXPECT_TRUE(logged("net_send: full packet sent\n"));
}

TEST_F(NetSend, FivePartialCallsAndStillBytesLeftFail)
{
    socket_fake::script_sends({1, 1, 1, 1, 1, 1});
    char data[10] = {};
    EXPECT_EQ(net_send(handle, data, sizeof data), -1);
    EXPECT_EQ(socket_fake::send_requests().size(), 5u);
    EXPECT_TRUE(logged("net_send: full packet couldnt sent\n"));
}

TEST_F(NetSend, AFailedCallEndsTheSendWithItsError)
{
    socket_fake::script_sends({2, -1}, 32);
    char data[10] = {};
    EXPECT_EQ(net_send(handle, data, sizeof data), -1);
    EXPECT_TRUE(logged("net_send: send failed: 32\n"));
    socket_fake::reset();
    EXPECT_EQ(net_send(handle, data, 0), 1);
    EXPECT_TRUE(socket_fake::send_requests().empty());
}

} // namespace
