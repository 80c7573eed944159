// The formatter (conversions as the program's messages use them, bounds, both widths), text
// conversions, bounded formatting, path joining and addresses as text.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/netaddr.h"
#include "platform/system.h"
#include "support/test_support.h"

using nivo_test::u16;
using nivo_test::u8;

namespace {

template <class... Args>
std::string
wide(wfmt<Args...> format, const Args &...args)
{
    char16_t buffer[256];
    fmt_print_w(buffer, 256, format, args...);
    return u8(buffer);
}

template <class... Args>
std::string
narrow(nfmt<Args...> format, const Args &...args)
{
    char buffer[256];
    fmt_print_n(buffer, 256, format, args...);
    return buffer;
}

TEST(Format, TextOfBothWidthsAbsentTextAndTheCapacity)
{
    // %s takes the format's own width, %S the other; both convert multi-byte characters.
    EXPECT_EQ(wide(u"%s/%S", u"\u00e9t\u00e9", "caf\xc3\xa9"), "\xc3\xa9t\xc3\xa9/caf\xc3\xa9");
    EXPECT_EQ(narrow("%s/%S", "a\xe2\x82\xac", u"\U0001F600"), "a\xe2\x82\xac/\xf0\x9f\x98\x80");
    const char16_t *none = nullptr;
    EXPECT_EQ(wide(u"<%s>", none), "<(null)>");
    EXPECT_EQ(wide(u"<%.3s|%5s>", u"abcdef", u"ab"), "<abc|   ab>");
    std::u16string owned = u"owned";
    EXPECT_EQ(wide(u"%s", owned), "owned");
    // A lone surrogate becomes the replacement character, never a broken sequence.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(narrow("%S", static_cast<const char16_t *>(lone)), "a\xef\xbf\xbd"
                                                                 "b");

    // Cut at the capacity; the whole length is reported.
    char16_t buffer[5];
    EXPECT_EQ(fmt_print_w(buffer, 5, u"%s", u"abcdefgh"), 8u);
    EXPECT_EQ(u8(buffer), "abcd");
    char small[1];
    EXPECT_EQ(fmt_print_n(small, 1, "%d", 12345), 5u);
    EXPECT_EQ(small[0], '\0');
    // A UTF-8 sequence whose end is cut by the terminator is not read past it.
    char cut[] = {'x', static_cast<char>(0xE2), static_cast<char>(0x82), 0};
    EXPECT_EQ(wide(u"%S", static_cast<const char *>(cut)), "x\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(TextConversion, Utf8AndUtf16RoundTripAndBoundedFormattingWithTheirBounds)
{
    char16_t wide[8];
    // "é" is two UTF-8 bytes and one UTF-16 unit.
    EXPECT_EQ(convert_ascii_to_unicode("caf\xc3\xa9", wide, 8), 5);
    EXPECT_EQ(std::u16string(wide), u"caf\u00e9");
    char narrow[8];
    EXPECT_EQ(convert_unicode_to_ascii(u"caf\u00e9", narrow, 8), 0);
    EXPECT_STREQ(narrow, "caf\xc3\xa9");

    // At most size - 1 units, terminator included, go into the wide buffer.
    EXPECT_EQ(convert_ascii_to_unicode("abcdef", wide, 8), 7);
    EXPECT_EQ(convert_ascii_to_unicode("abcdefg", wide, 8), -1);
    EXPECT_EQ(wide[7], 0);
    EXPECT_EQ(convert_unicode_to_ascii(u"caf\u00e9", narrow, 5), -1);
    EXPECT_EQ(narrow[4], '\0');
    // Absent texts: 0, and the buffer stays as it was.
    narrow[0] = 'k';
    EXPECT_EQ(convert_unicode_to_ascii(nullptr, narrow, 8), 0);
    EXPECT_EQ(narrow[0], 'k');
    EXPECT_EQ(convert_ascii_to_unicode(nullptr, wide, 8), 0);
    // A character outside the basic plane takes two units.
    EXPECT_EQ(convert_ascii_to_unicode("\xf0\x9f\x98\x80", wide, 8), 3);

    // The result codes of the bounded formatters (sizes in bytes).
    EXPECT_EQ(string_printf_w(wide, 8, u"%s", u"abc"), STRING_S_OK);
    EXPECT_EQ(string_printf_w(wide, 8, u"%s", u"abcd"), STRING_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(wide), u"abc");
    EXPECT_EQ(string_printf_w(wide, 1, u"x"), STRING_E_INVALID_PARAMETER);
    std::strcpy(narrow, "zz");
    EXPECT_EQ(string_printf_a(narrow, 0, "x"), STRING_E_INVALID_PARAMETER);
    EXPECT_EQ(string_printf_a(narrow, 0x80000000u, "x"), STRING_E_INVALID_PARAMETER);
    EXPECT_STREQ(narrow, "zz");
    EXPECT_EQ(string_printf_a(narrow, 4, "%d", 12345), STRING_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(narrow, "123");
}

using TextLogged = nivo_test::log_fixture;

TEST_F(TextLogged, PathJoiningAndAddressesCutAtTheBufferAndSaySo)
{
    char16_t path[64];
    EXPECT_EQ(config_string_cat(u"/base", u"nivo.ini", path, sizeof path), 0);
    const std::u16string sep(1, platform_path_separator);
    EXPECT_EQ(std::u16string(path), u"/base" + sep + u"nivo.ini");

    // 34 bytes hold 16 characters and the terminator.
    char16_t small[17];
    EXPECT_EQ(config_string_cat(u"/d", u"abcdefghijklmnopqrst", small, 34), -1);
    EXPECT_EQ(std::u16string(small), u"/d" + sep + u"abcdefghijklm");
    EXPECT_TRUE(logged("config_string_cat: string concatanation failed: 0x8007007a\n"));

    // Socket addresses as text.
    unsigned char address[128];
    std::size_t n = platform_netaddr_ipv4(0x7F000005u, 6060, address, sizeof address);
    ASSERT_GT(n, 0u);
    char16_t text[64];
    std::uint32_t length = 64;
    EXPECT_EQ(convert_netaddr_to_str(address, n, text, &length), 0);
    EXPECT_EQ(std::u16string(text), u"127.0.0.5:6060");
    EXPECT_EQ(length, 15u);
    n = platform_netaddr_ipv4(0x7F000001u, 0, address, sizeof address);
    length = 64;
    EXPECT_EQ(convert_netaddr_to_str(address, n, text, &length), 0);
    EXPECT_EQ(std::u16string(text), u"127.0.0.1");
    EXPECT_TRUE(logged("convert_netaddr_to_str: IP Address String: 127.0.0.1\n"));
    // A buffer too small for the text is a conversion failure.
    length = 4;
    EXPECT_EQ(convert_netaddr_to_str(address, n, text, &length), -1);
    EXPECT_TRUE(logged("convert_netaddr_to_str: conversion failed: "));
}

} // namespace
