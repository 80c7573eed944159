// The directory client's BER values: the subscription request it sends, and the events and the
// end of the subscription it reads, on hand-made bytes. A whole subscription through the client
// library is the directory-mode integration tests' (tests/integration/edirectory_e2e_test.cpp).

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ldap.h"

namespace {

// One BER element: tag, definite length (short or long form), contents.
std::string
tlv(unsigned char tag, const std::string &contents)
{
    std::string out(1, static_cast<char>(tag));
    std::size_t n = contents.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        out += static_cast<char>(0x82);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xff);
    }
    return out + contents;
}

std::string
integer(unsigned char value, unsigned char tag = 0x02)
{
    return tlv(tag, std::string(1, static_cast<char>(value)));
}

std::string
octets(const std::string &text)
{
    return tlv(0x04, text);
}

// An event: type 100, result 0, then the data and whatever follows it.
std::string
event(const std::string &data_and_rest)
{
    return tlv(0x30, integer(100) + integer(0) + data_and_rest);
}

const platform_ldap_event_request REQUESTS[] = {{PLATFORM_LDAP_EVENT_LOGIN, 1},
                                                {PLATFORM_LDAP_EVENT_LOGOUT, 1}};
const std::string JSMITH = "cn=jsmith,ou=sales,o=corp";

std::string
entry_info_fields(const std::string &perpetrator, const std::string &entry)
{
    return octets(perpetrator) + octets(entry) + octets("User") +
           tlv(0x30, integer(10) + integer(1) + integer(2)) + integer(7) + integer(0) + octets("");
}

std::string
general_ds_fields()
{
    return tlv(0x81, "\x01\x02") + tlv(0x82, "\x03") + tlv(0x83, "\x04") + tlv(0x84, "\x05") +
           tlv(0x85, JSMITH) + tlv(0xa6, integer(1) + integer(2)) +
           tlv(0xa7, octets("x") + octets("y"));
}

platform_ldap_message
decode(const std::string &bytes, int expected = 0)
{
    platform_ldap_message out;
    int rc = platform_ldap_decode_event(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                        bytes.size(), &out);
    EXPECT_EQ(rc, out.parse_result);
    if (expected == 0) {
        EXPECT_EQ(rc, 0);
    } else {
        EXPECT_NE(rc, 0);
        EXPECT_FALSE(out.perpetrator_dn.has_value());
        EXPECT_FALSE(out.user_dn.has_value());
    }
    return out;
}

platform_ldap_message
decode_end(const std::string &bytes)
{
    platform_ldap_message out;
    EXPECT_EQ(platform_ldap_decode_monitor_end(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                               bytes.size(), &out),
              out.parse_result);
    return out;
}

} // namespace

TEST(LdapEncode, SubscriptionRequestForLoginsAndLogouts)
{
    std::string value;
    ASSERT_EQ(platform_ldap_encode_monitor_request(REQUESTS, 2, &value), 0);
    EXPECT_EQ(value, std::string("\x30\x15\x02\x01\x02\x31\x10\x30\x06\x02\x01\x64\x0a\x01\x01"
                                 "\x30\x06\x02\x01\x66\x0a\x01\x01",
                                 23));
    EXPECT_NE(platform_ldap_encode_monitor_request(REQUESTS, 0, &value), 0);
}

// Each data structure in both tag forms, followed by an element the decoder does not know.
TEST(LdapDecode, EachDataStructureInBothTagForms)
{
    const std::string other = "cn=other,o=corp";
    const std::string address = integer(9) + octets(std::string("\x00\x00\x0a\x01\x02\x1e", 6));
    const struct {
        unsigned char tag;
        std::string fields;
        std::optional<std::string> perpetrator, user;
    } cases[] = {
        {0xa1, entry_info_fields(JSMITH, other), JSMITH, other},
        {0x81, entry_info_fields(JSMITH, other), JSMITH, other},
        {0xa1, entry_info_fields("", ""), {}, {}}, // empty DNs are absent
        {0xa3, general_ds_fields() + tlv(0x88, "new"), JSMITH, {}},
        {0x83, general_ds_fields() + tlv(0x88, "new"), JSMITH, {}},
        {0xa8, address, {}, {}},
        {0x88, address, {}, {}},
        {0xac, octets("?"), {}, {}}, // a structure unknown here
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.tag));
        platform_ldap_message m = decode(event(tlv(c.tag, c.fields) + integer(5)));
        EXPECT_EQ(m.event_type, 100);
        EXPECT_EQ(m.perpetrator_dn, c.perpetrator);
        EXPECT_EQ(m.user_dn, c.user);
        EXPECT_FALSE(m.base_dn.has_value());
    }
    EXPECT_EQ(decode(event("")).event_type, 100);            // no data at all
    decode(event(tlv(0xa8, integer(9))), -1);                // no address bytes
    decode(event(tlv(0xa8, octets("x") + octets("y"))), -1); // no type
}

// Every cut of a whole event is refused, and so is an element whose length reaches past its
// enclosing one, wherever it stands.
TEST(LdapDecode, RefusesTruncatedAndOverlongElementsAndDns)
{
    const std::string fields = entry_info_fields(JSMITH, JSMITH);
    const std::string whole = event(tlv(0xa1, fields) + octets("tail"));
    decode(whole);
    for (std::size_t size = 0; size < whole.size(); ++size) {
        decode(whole.substr(0, size), -1);
    }
    std::string lying = whole;
    lying[1] = static_cast<char>(lying[1] + 1); // the outer sequence
    decode(lying, -1);
    std::string inner = fields;
    inner[1] = static_cast<char>(inner[1] + 1); // perpetratorDN runs into entryDN's header
    decode(event(tlv(0xa1, inner)), -1);
    std::string last = whole;
    last[last.size() - 5] = 5; // the trailing element claims one byte more than there is
    decode(last, -1);

    // So are DNs over the limit or with a NUL in them.
    std::string longest(PLATFORM_LDAP_DN_MAX, 'a');
    EXPECT_EQ(decode(event(tlv(0xa1, entry_info_fields(longest, JSMITH)))).perpetrator_dn, longest);
    decode(event(tlv(0xa1, entry_info_fields(longest + "a", JSMITH))), -1);
    decode(event(tlv(0xa3, tlv(0x85, longest + "a"))), -1);
    decode(event(tlv(0xa1, entry_info_fields(std::string("cn=a\0b", 6), JSMITH))), -1);

    // No bytes at all is refused, not handed to the library.
    platform_ldap_message out;
    EXPECT_NE(platform_ldap_decode_event(nullptr, 0, &out), 0);
    EXPECT_NE(platform_ldap_decode_monitor_end(nullptr, 0, &out), 0);
}

TEST(LdapDecode, MonitorEndWithRefusedList)
{
    std::string refused = tlv(0x30, integer(100) + integer(1, 0x0a)) +
                          tlv(0x30, integer(102) + integer(1, 0x0a) + octets("more"));
    std::string whole = tlv(0x30, integer(2) + tlv(0x31, refused));
    platform_ldap_message m = decode_end(whole);
    EXPECT_EQ(m.parse_result, 0);
    EXPECT_EQ(m.refused_event_types, (std::vector<int>{100, 102}));

    m = decode_end(tlv(0x30, integer(0)));
    EXPECT_EQ(m.parse_result, 0);
    EXPECT_TRUE(m.refused_event_types.empty());

    for (std::size_t size = 0; size < whole.size(); ++size) {
        m = decode_end(whole.substr(0, size));
        EXPECT_NE(m.parse_result, 0) << size;
        EXPECT_TRUE(m.refused_event_types.empty());
    }
}
