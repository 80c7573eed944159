// The directory client on wldap32, against a scripted server on loopback: texts cross the
// client as UTF-8 both ways, values stay binary, a search without a time limit is refused, and
// an event the client cannot read fails the wait instead of passing for one.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/ldap.h"
#include "platform/socket.h"

namespace {

std::string
tlv(unsigned char tag, const std::string &contents)
{
    std::string out(1, static_cast<char>(tag));
    if (contents.size() >= 0x80) {
        out += static_cast<char>(0x82);
        out += static_cast<char>(contents.size() >> 8);
    }
    out += static_cast<char>(contents.size() & 0xff);
    return out + contents;
}

std::string
integer(unsigned char value, unsigned char tag = 0x02)
{
    return tlv(tag, std::string(1, static_cast<char>(value)));
}

std::string
ldap_message(unsigned char id, unsigned char type, const std::string &body)
{
    return tlv(0x30, integer(id) + tlv(type, body));
}

std::string
result(unsigned char code, const std::string &text)
{
    return integer(code, 0x0a) + tlv(0x04, "") + tlv(0x04, text);
}

// Takes one connection, reads one request and answers it with replies(message id); keeps what it
// read in request.
struct scripted_server {
    platform_socket_t listener = platform_socket_open(true);
    std::uint16_t port = 0;
    std::string request;
    std::thread thread;

    template <class F> explicit scripted_server(F replies)
    {
        EXPECT_EQ(platform_socket_bind(listener, 0x7f000001, 0), 0);
        EXPECT_EQ(platform_socket_listen(listener, 1), 0);
        EXPECT_EQ(platform_socket_local_port(listener, &port), 0);
        thread = std::thread([this, replies] {
            if (platform_socket_wait_readable(listener, 10, 0) != 1) {
                return;
            }
            platform_socket_t s = platform_socket_accept(listener, nullptr, nullptr);
            char buffer[4096];
            long long got = 0;
            if (platform_socket_wait_readable(s, 10, 0) == 1 &&
                (got = platform_socket_recv(s, buffer, sizeof buffer)) > 5) {
                request.assign(buffer, static_cast<std::size_t>(got));
                std::string answer = replies(static_cast<unsigned char>(request[4]));
                platform_socket_send(s, answer.data(), answer.size());
                platform_socket_wait_readable(s, 10, 0); // until the client unbinds or leaves
            }
            platform_socket_close(s);
        });
    }
    ~scripted_server()
    {
        thread.join();
        platform_socket_close(listener);
    }
};

const std::string DN = "cn=J\xc3\xbcrgen,o=corp";                         // a non-ASCII DN, UTF-8
const std::string ADDRESS = std::string("9#\x00\x00\x7f\x00\x00\x05", 8); // binary, with zeros

platform_ldap *
open_session(std::uint16_t port)
{
    platform_ldap_set_defaults(10, 0);
    int error = 0;
    platform_ldap *session = platform_ldap_open("127.0.0.1", port, &error);
    EXPECT_NE(session, nullptr) << error;
    return session;
}

} // namespace

TEST(LdapWin32, SearchKeepsTextAndBinaryValues)
{
    scripted_server server([](unsigned char id) {
        std::string attributes =
            tlv(0x30, tlv(0x30, tlv(0x04, "networkAddress") + tlv(0x31, tlv(0x04, ADDRESS))) +
                          tlv(0x30, tlv(0x04, "uid") + tlv(0x31, tlv(0x04, "j\xc3\xbc"))));
        return ldap_message(id, 0x64, tlv(0x04, DN) + attributes) +
               ldap_message(id, 0x65, result(0, ""));
    });
    platform_ldap *session = open_session(server.port);
    ASSERT_NE(session, nullptr);
    std::vector<platform_ldap_entry> entries;
    ASSERT_EQ(platform_ldap_search(session, "o=corp", "(cn=J\xc3\xbcrgen)", 10, 0, &entries), 0);
    ASSERT_EQ(entries.size(), 1U);
    EXPECT_EQ(entries[0].dn, DN);
    ASSERT_EQ(entries[0].attributes.size(), 2U);
    EXPECT_EQ(entries[0].attributes[0].name, "networkAddress");
    EXPECT_EQ(entries[0].attributes[0].values, std::vector<std::string>{ADDRESS});
    EXPECT_EQ(entries[0].attributes[1].values, std::vector<std::string>{"j\xc3\xbc"});

    // No time limit: refused before anything is sent, and the list is emptied.
    EXPECT_NE(platform_ldap_search(session, "o=corp", "(uid=*)", 0, 0, &entries), 0);
    EXPECT_TRUE(entries.empty());
    platform_ldap_close(session);
    EXPECT_NE(server.request.find("o=corp"), std::string::npos);
    EXPECT_NE(server.request.find("J\xc3\xbcrgen"), std::string::npos); // the filter, as UTF-8
}

// wldap32 cannot read an intermediate response: the wait fails with "not supported" rather
// than reporting an event, and the end of the subscription that follows still arrives.
TEST(LdapWin32, UnreadableEventFailsTheWait)
{
    const std::string event_oid = "2.16.840.1.113719.1.27.100.81";
    scripted_server server([&](unsigned char id) {
        return ldap_message(id, 0x79,
                            tlv(0x80, event_oid) + tlv(0x81, "\x30\x06\x02\x01\x64\x02\x01\x00")) +
               ldap_message(id, 0x78,
                            result(53, "disabled") + tlv(0x8a, "2.16.840.1.113719.1.27.100.80"));
    });
    platform_ldap *session = open_session(server.port);
    ASSERT_NE(session, nullptr);
    const platform_ldap_event_request requests[] = {{PLATFORM_LDAP_EVENT_LOGIN, 1}};
    int id = 0;
    ASSERT_EQ(platform_ldap_monitor_events(session, requests, 1, &id), 0);
    platform_ldap_message message;
    EXPECT_EQ(platform_ldap_wait(session, id, 10, 0, &message), -1);
    EXPECT_EQ(platform_ldap_last_result(session), 0x5c); // not supported
    EXPECT_EQ(platform_ldap_wait(session, id, 10, 0, &message), PLATFORM_LDAP_RES_EXTENDED);
    platform_ldap_close(session);
}
