// The formatter: conversions as the program's messages use them, bounds, and both widths.

#include <gtest/gtest.h>

#include <string>

#include "common/format.h"
#include "support/test_support.h"

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

TEST(Format, TextOfBothWidthsAndAbsentText)
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
}

TEST(Format, CutsAtTheCapacityAndReportsTheWholeLength)
{
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

} // namespace
