// net_send over scripted sockets: the bounded loop of partial sends.

#include <gtest/gtest.h>

#include "common/net.h"
#include "fakes/socket_fake.h"
#include "support/test_support.h"

namespace {

using NetSend = nivo_test::log_fixture;

TEST_F(NetSend, PartialSendsContinueForFiveCallsAndAFailedCallEndsTheSend)
{
    struct row {
        std::vector<long long> script;
        int result;
        std::vector<std::size_t> requests;
        const char *line;
    };
    const row rows[] = {
        {{3, 4}, 1, {10, 7, 3}, "net_send: full packet sent\n"},
        {{1, 1, 1, 1, 1, 1}, -1, {10, 9, 8, 7, 6}, "net_send: full packet couldnt sent\n"},
        {{2, -1}, -1, {10, 8}, "net_send: send failed: 32\n"},
    };
    net_handle *handle = net_init(u"127.0.0.1", 1, NET_MODE_CLIENT);
    ASSERT_EQ(net_open(handle, NET_TRANSPORT_TCP), 0);
    char data[10] = {};
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        socket_fake::reset();
        socket_fake::script_sends(r.script, 32);
        EXPECT_EQ(net_send(handle, data, sizeof data), r.result);
        EXPECT_EQ(socket_fake::send_requests(), r.requests);
        EXPECT_TRUE(logged(r.line));
    }
    socket_fake::reset();
    EXPECT_EQ(net_send(handle, data, 0), 1);
    EXPECT_TRUE(socket_fake::send_requests().empty());
    net_fini(handle);
}

} // namespace
